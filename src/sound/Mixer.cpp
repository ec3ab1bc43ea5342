#include "metro/sound/Mixer.h"

#include "BeatGrid.h"
#include "ClockMap.h"
#include "VoicePool.h"

#include "metro/core/SpscQueue.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace metro::sound {

using detail::kSlotCount;

struct Mixer::Impl {
    static_assert(std::atomic<float>::is_always_lock_free);
    static_assert(std::atomic<const SampleSet*>::is_always_lock_free);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    static constexpr std::size_t kQueueSize = 64;
    static constexpr std::size_t kPendingSize = 64;
    /// A longer wait between two buffers is a stall of the output, not callback jitter.
    static constexpr core::Clock::duration kStallGap = std::chrono::milliseconds(250);
    /// How long the clock map runs again after a stall before a grid is anchored on it. Its
    /// phase is then within a fraction of a millisecond, and the grid runs at the nominal rate
    /// until the map has measured one, so waiting longer only delays the sound. (No wait with
    /// exact stamps.)
    static constexpr double kResyncLockSeconds = 0.2;

    struct Pending {
        int slot = 0;
        std::int64_t frame = 0;
        std::uint64_t run = 0;
        core::TimePoint scheduled{};
    };
    struct Retired {
        std::shared_ptr<const SampleSet> sound;
        std::uint64_t epoch = 0; // renders finished when it was replaced
    };

    Impl(int rate, core::Clock::duration latency, Placement mode, bool exactStamps) noexcept
        : outputLatency(latency), placement(mode), map(rate, exactStamps),
          grid(rate, latency, exactStamps), voices(rate) {
        for (auto& sound : published) {
            sound.store(nullptr, std::memory_order_relaxed);
        }
        for (auto& target : targetGain) {
            target.store(1.0F, std::memory_order_relaxed);
        }
        gain.fill(1.0F);
    }

    void render(float* out, std::size_t frames, core::TimePoint callbackTime) noexcept;
    void followOutput(std::int64_t bufferStart, std::int64_t bufferEnd,
                      core::TimePoint callbackTime) noexcept;
    void resync(bool newStream) noexcept;
    void drainCues(std::int64_t bufferStart, std::int64_t bufferEnd) noexcept;
    bool placeCue(const core::BeatCue& cue, std::int64_t bufferStart, double horizon) noexcept;
    void insertPending(const Pending& entry) noexcept;
    void startDue(std::int64_t bufferStart, std::int64_t bufferEnd) noexcept;
    detail::SlotGains rampGains(std::size_t frames) noexcept;
    bool cancelled(std::uint64_t run, core::TimePoint scheduled) const noexcept {
        return run == endedRun.load(std::memory_order_acquire) &&
               scheduled.time_since_epoch().count() > endedAt.load(std::memory_order_relaxed);
    }

    const core::Clock::duration outputLatency;
    const Placement placement;

    // Shared between the threads.
    core::SpscQueue<core::BeatCue, kQueueSize> cues;
    std::array<std::atomic<const SampleSet*>, kSlotCount> published{};
    std::array<std::atomic<float>, kSlotCount> targetGain{};
    std::atomic<std::uint64_t> epoch{0};
    std::atomic<bool> rendering{false};
    std::atomic<bool> restarted{false}; // the output asks for a fresh map (outputRestarted)
    std::atomic<bool> stepped{false};   // the output's next stamp is a step (outputStepped)
    std::atomic<bool> quiet{true};      // nothing sounds or waits to (silent)
    std::atomic<core::Clock::rep> heardLater{0}; // the grid's shift()
    std::atomic<std::uint64_t> endedRun{0};      // endRun: written after endedAt
    std::atomic<core::Clock::rep> endedAt{std::numeric_limits<core::Clock::rep>::max()};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> corrections{0};
    std::atomic<std::uint64_t> skipped{0};
    std::atomic<std::uint64_t> resynced{0};

    // Control thread.
    std::array<std::shared_ptr<const SampleSet>, kSlotCount> owned;
    std::vector<Retired> retired;

    // Audio thread (and the control thread while no output runs).
    detail::ClockMap map;
    detail::BeatGrid grid;
    detail::VoicePool voices;
    detail::SlotSounds current{};
    std::array<float, kSlotCount> gain{};
    std::array<Pending, kPendingSize> pending{};
    std::size_t pendingCount = 0;
    std::array<Pending, kPendingSize> unplaced{}; // placed before a resync, to be placed anew
    std::size_t unplacedCount = 0;
    std::int64_t framesRendered = 0;
    core::TimePoint lastCallback{};
    bool hasCallback = false;
    bool resyncing = false; // new beats wait until the map has locked again
};

void Mixer::Impl::render(float* out, std::size_t frames, core::TimePoint callbackTime) noexcept {
    // Sequentially consistent with setVoice/collectGarbage: see collectGarbage.
    rendering.store(true, std::memory_order_seq_cst);
    for (std::size_t slot = 1; slot < kSlotCount; ++slot) {
        current[slot] = published[slot].load(std::memory_order_seq_cst);
    }
    const std::int64_t start = framesRendered;
    const std::int64_t end = start + static_cast<std::int64_t>(frames);
    followOutput(start, end, callbackTime);
    voices.releaseStale(current, start);
    startDue(start, end);
    const detail::SlotGains gains = rampGains(frames);

    const std::size_t samples = 2 * frames;
    std::memset(out, 0, samples * sizeof(float)); // all-zero bits are 0.0F
    voices.mix(out, frames, start, gains);
    for (std::size_t i = 0; i < samples; ++i) {
        out[i] = std::min(1.0F, std::max(-1.0F, out[i]));
    }

    framesRendered = end;
    quiet.store(pendingCount == 0 && !voices.sounding() && cues.front() == nullptr,
                std::memory_order_relaxed);
    epoch.fetch_add(1, std::memory_order_seq_cst);
}

// Feeds the clock map and takes the new beats, or holds them while the map locks again after
// a stall or a restart of the output, or while the output cannot tell when its frames play.
void Mixer::Impl::followOutput(std::int64_t bufferStart, std::int64_t bufferEnd,
                               core::TimePoint callbackTime) noexcept {
    if (restarted.exchange(false, std::memory_order_acquire)) {
        resync(true);
    }
    if (callbackTime == core::TimePoint{}) {
        return; // the stream does not play yet (or again): new beats wait
    }
    if (hasCallback && callbackTime - lastCallback > kStallGap && (map.locked() || resyncing)) {
        resync(false); // (a stream that stalls as it starts is only settling its map)
    } else if (stepped.exchange(false, std::memory_order_acquire)) {
        map.expectStep();
    }
    hasCallback = true;
    lastCallback = callbackTime;
    map.update(bufferStart, callbackTime);
    if (!resyncing || map.lockedFor(callbackTime, kResyncLockSeconds)) {
        resyncing = false;
        drainCues(bufferStart, bufferEnd);
    }
    heardLater.store(grid.shift().count(), std::memory_order_relaxed);
}

// The frames no longer follow the monotonic clock as they did: forget the map and the grid.
// The beats placed on them are placed anew, by their times, once the frames are known again.
void Mixer::Impl::resync(bool newStream) noexcept {
    map.reset();
    grid.reset();
    for (std::size_t i = 0; i < pendingCount; ++i) {
        if (unplacedCount < kPendingSize) {
            unplaced[unplacedCount++] = pending[i];
        } else {
            skipped.fetch_add(1, std::memory_order_relaxed);
        }
    }
    pendingCount = 0;
    if (newStream) {
        voices.clear();
    }
    resyncing = true;
    resynced.fetch_add(1, std::memory_order_relaxed);
}

// Places the beats due in this buffer or the next: first those placed before a resync, then new
// ones, in order. A beat whose frame has already been rendered is dropped, not played late:
// played late, it would sound closer to the next beat than the period.
void Mixer::Impl::drainCues(std::int64_t bufferStart, std::int64_t bufferEnd) noexcept {
    const double horizon = static_cast<double>(2 * bufferEnd - bufferStart);
    std::size_t replaced = 0;
    while (replaced < unplacedCount && pendingCount < kPendingSize) {
        const Pending& beat = unplaced[replaced];
        if (!placeCue(core::BeatCue{beat.slot, beat.scheduled, beat.run}, bufferStart, horizon)) {
            break;
        }
        ++replaced;
    }
    std::copy(unplaced.begin() + static_cast<std::ptrdiff_t>(replaced),
              unplaced.begin() + static_cast<std::ptrdiff_t>(unplacedCount), unplaced.begin());
    unplacedCount -= replaced;
    while (unplacedCount == 0 && pendingCount < kPendingSize) {
        const core::BeatCue* next = cues.front();
        if (next == nullptr || !placeCue(*next, bufferStart, horizon)) {
            break;
        }
        cues.try_pop();
    }
    corrections.store(grid.corrections(), std::memory_order_relaxed);
}

/// Places one beat, or drops it (true), or leaves it for a later buffer (false).
bool Mixer::Impl::placeCue(const core::BeatCue& cue, std::int64_t bufferStart,
                           double horizon) noexcept {
    if (placement == Placement::Exact && cue.slot >= 1 && cue.slot < kSlotCount &&
        map.frameAt(cue.scheduled + outputLatency + grid.shift()) >= horizon) {
        return false; // not due yet
    }
    if (cue.slot < 1 || cue.slot >= kSlotCount || cancelled(cue.run, cue.scheduled)) {
        return true;
    }
    if (placement == Placement::NextBuffer) {
        insertPending(Pending{cue.slot, bufferStart, cue.run, cue.scheduled});
        return true;
    }
    const std::int64_t frame = grid.place(cue, map);
    if (frame < bufferStart) {
        grid.dropLast();
        skipped.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    insertPending(Pending{cue.slot, frame, cue.run, cue.scheduled});
    return true;
}

void Mixer::Impl::insertPending(const Pending& entry) noexcept {
    std::size_t at = pendingCount;
    while (at > 0 && pending[at - 1].frame > entry.frame) {
        pending[at] = pending[at - 1];
        --at;
    }
    pending[at] = entry;
    ++pendingCount;
}

void Mixer::Impl::startDue(std::int64_t bufferStart, std::int64_t bufferEnd) noexcept {
    std::size_t due = 0;
    for (; due < pendingCount && pending[due].frame < bufferEnd; ++due) {
        Pending entry = pending[due];
        if (cancelled(entry.run, entry.scheduled)) {
            continue;
        }
        if (entry.frame < bufferStart) {
            late.fetch_add(1, std::memory_order_relaxed);
            entry.frame = bufferStart;
        }
        const SampleSet* sound = current[static_cast<std::size_t>(entry.slot)];
        if (sound != nullptr && sound->frames() > 0) {
            voices.start(sound, entry.slot, entry.frame);
        }
    }
    std::copy(pending.begin() + static_cast<std::ptrdiff_t>(due),
              pending.begin() + static_cast<std::ptrdiff_t>(pendingCount), pending.begin());
    pendingCount -= due;
}

detail::SlotGains Mixer::Impl::rampGains(std::size_t frames) noexcept {
    detail::SlotGains ramps{};
    const auto length = static_cast<float>(std::max<std::size_t>(frames, 1));
    for (std::size_t slot = 1; slot < kSlotCount; ++slot) {
        const float target = targetGain[slot].load(std::memory_order_relaxed);
        ramps[slot] = detail::GainRamp{gain[slot], (target - gain[slot]) / length};
        gain[slot] = target;
    }
    return ramps;
}

Mixer::Mixer(int sampleRate, core::Clock::duration outputLatency, Placement placement,
             bool exactStamps) {
    if (sampleRate <= 0) {
        throw std::invalid_argument("sample rate " + std::to_string(sampleRate) +
                                    " is not positive");
    }
    m_impl = std::make_unique<Impl>(sampleRate, outputLatency, placement, exactStamps);
}

Mixer::~Mixer() = default;

void Mixer::setVoice(int slot, std::shared_ptr<const SampleSet> sound) {
    if (slot < 1 || slot >= kSlotCount) {
        throw std::out_of_range("voice slot " + std::to_string(slot) + " is not 1..4");
    }
    Impl& impl = *m_impl;
    impl.retired.reserve(impl.retired.size() + 1); // the push below cannot throw then
    const auto index = static_cast<std::size_t>(slot);
    const SampleSet* raw = sound.get();
    std::shared_ptr<const SampleSet> old = std::exchange(impl.owned[index], std::move(sound));
    impl.published[index].store(raw, std::memory_order_seq_cst);
    if (old) {
        impl.retired.push_back(Impl::Retired{std::move(old), impl.epoch.load()});
    }
    collectGarbage(); // frees what earlier replacements left, whoever calls this
}

void Mixer::setLevel(int slot, Level level) noexcept {
    if (slot < 1 || slot >= kSlotCount) {
        return;
    }
    m_impl->targetGain[static_cast<std::size_t>(slot)].store(amplitudeFromLevel(level),
                                                             std::memory_order_relaxed);
}

void Mixer::collectGarbage() {
    Impl& impl = *m_impl;
    // A render that could still see a replaced sound in its slot was running when the sound
    // was replaced, so it has finished once two more renders have (all seq_cst, so the epoch
    // read here cannot lag behind a render that saw the old pointer). After that no voice can
    // pick the sound up again, and holds() tells whether one still plays it. While no render
    // has run since the output stopped, none can be using it at all.
    const bool idle = !impl.rendering.load(std::memory_order_seq_cst);
    const std::uint64_t now = impl.epoch.load(std::memory_order_seq_cst);
    std::erase_if(impl.retired, [&](const Impl::Retired& entry) {
        return idle || (now >= entry.epoch + 2 && !impl.voices.holds(entry.sound.get()));
    });
}

void Mixer::outputStopped() noexcept {
    Impl& impl = *m_impl;
    impl.voices.clear();
    impl.pendingCount = 0;
    impl.unplacedCount = 0;
    impl.map.reset();
    impl.grid.reset();
    impl.hasCallback = false; // a fresh start is neither a stall nor a restart
    impl.resyncing = false;
    impl.restarted.store(false, std::memory_order_relaxed);
    for (std::size_t slot = 1; slot < kSlotCount; ++slot) {
        impl.gain[slot] = impl.targetGain[slot].load(std::memory_order_relaxed);
    }
    impl.rendering.store(false, std::memory_order_seq_cst);
}

void Mixer::outputRestarted() noexcept {
    m_impl->restarted.store(true, std::memory_order_release);
}

void Mixer::outputStepped() noexcept {
    m_impl->stepped.store(true, std::memory_order_release);
}

bool Mixer::silent() const noexcept {
    return m_impl->quiet.load(std::memory_order_relaxed);
}

core::Clock::duration Mixer::heardLater() const noexcept {
    return core::Clock::duration(m_impl->heardLater.load(std::memory_order_relaxed));
}

void Mixer::endRun(std::uint64_t run, core::TimePoint at) noexcept {
    m_impl->endedAt.store(at.time_since_epoch().count(), std::memory_order_relaxed);
    m_impl->endedRun.store(run, std::memory_order_release);
}

bool Mixer::schedule(const core::BeatCue& cue) noexcept {
    if (!m_impl->cues.try_push(cue)) {
        m_impl->dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void Mixer::render(float* out, std::size_t frames, core::TimePoint callbackTime) noexcept {
    m_impl->render(out, frames, callbackTime);
}

core::Clock::duration Mixer::outputLatency() const noexcept {
    return m_impl->outputLatency;
}

std::uint64_t Mixer::lateStarts() const noexcept {
    return m_impl->late.load(std::memory_order_relaxed);
}

std::uint64_t Mixer::droppedCues() const noexcept {
    return m_impl->dropped.load(std::memory_order_relaxed);
}

std::uint64_t Mixer::gridCorrections() const noexcept {
    return m_impl->corrections.load(std::memory_order_relaxed);
}

std::uint64_t Mixer::skippedCues() const noexcept {
    return m_impl->skipped.load(std::memory_order_relaxed);
}

std::uint64_t Mixer::resyncs() const noexcept {
    return m_impl->resynced.load(std::memory_order_relaxed);
}

} // namespace metro::sound
