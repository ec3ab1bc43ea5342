#pragma once

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"
#include "metro/sound/AudioOutput.h"
#include "metro/sound/Level.h"
#include "metro/sound/SampleSet.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace metro::sound {

/// Mixes the voices of slots 1..4 into the output, placing every beat on an exact frame.
///
/// Each run (BeatCue::run) is anchored once: its first beat starts on the frame that the clock
/// map gives for its scheduled time plus the fixed output latency. Every later beat of the run
/// starts (its scheduled time - the first beat's) x rate after that anchor, rounded once from
/// the anchor, so at 48 kHz each interval is exactly PeriodMs x 48 frames.
///
/// Threads: setVoice/setLevel/collectGarbage from the control (window) thread; schedule from
/// the one beat thread; render from the audio thread only.
class Mixer final : public AudioSource {
public:
    Mixer(int sampleRate, core::Clock::duration outputLatency);
    ~Mixer() override;
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    /// Publishes the slot's sound (nullptr empties the slot). A replaced sound is kept alive
    /// until collectGarbage() sees the audio thread no longer uses it.
    void setVoice(int slot, std::shared_ptr<const SampleSet> sound);
    /// Sets the slot's level; reaches the audio within one buffer, ramped so it never clicks.
    void setLevel(int slot, Level level) noexcept;
    /// Frees replaced sounds that the audio thread has let go of.
    void collectGarbage();

    /// Queues one beat. Returns false (and counts a drop) when the queue is full.
    bool schedule(const core::BeatCue& cue) noexcept;

    void render(float* out, std::size_t frames,
                core::TimePoint callbackTime) noexcept override; // [rt]

    core::Clock::duration outputLatency() const noexcept;
    /// Beats that started later than their frame (played at the earliest frame possible).
    std::uint64_t lateStarts() const noexcept;
    /// Beats dropped because the queue was full.
    std::uint64_t droppedCues() const noexcept;
    /// Frame-grid corrections made to follow a device clock that parts from the monotonic one.
    std::uint64_t gridCorrections() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace metro::sound
