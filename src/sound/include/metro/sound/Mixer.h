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
/// the anchor, so at 48 kHz each interval is exactly PeriodMs x 48 frames. The rate is the
/// nominal one unless the clock map (fed with every callback's time) has measured the output's
/// clock more than 50 ppm off the monotonic one; then it is the measured rate, so the grid stays
/// straight. Beyond 1 ms between grid and map, the run goes on at the newly measured rate and the
/// grid is pulled back a frame or so per beat (gridCorrections()).
/// A slot struck again while still sounding restarts its sound, the old one faded out in
/// 1.5 ms on a second voice, so nothing clicks.
/// When a running output stalls (no buffer asked for during 250 ms, e.g. a frozen sound server)
/// or restarts its stream (outputRestarted()), the clock map and the grid start afresh: beats
/// already placed are skipped, new ones wait until the map has locked again, those then past
/// are skipped too, and the run goes on from a new anchor on the beat's scheduled times.
///
/// Threads: setVoice/setLevel/collectGarbage/outputStopped from the control (window) thread;
/// schedule from the one beat thread; render from the audio thread only. The mixer must outlive
/// the output's use of it: destroy it only once no render runs any more.
class Mixer final : public AudioSource {
public:
    /// Where a beat starts inside the output.
    enum class Placement {
        Exact,     ///< on the frame its scheduled time maps to (the product's mode)
        NextBuffer ///< at the start of the first buffer rendered after it arrives (a baseline)
    };

    /// A mixer for an output at `sampleRate` (> 0, else std::invalid_argument) that starts each
    /// beat on the frame its stamps put `outputLatency` after the beat's scheduled time. With
    /// `exactStamps` the output's stamps say when a frame plays, without jitter, and the clock
    /// map locks on the first. Control thread.
    Mixer(int sampleRate, core::Clock::duration outputLatency,
          Placement placement = Placement::Exact, bool exactStamps = false);
    ~Mixer() override;
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    /// Publishes the slot's sound (nullptr empties the slot); a voice of the slot still
    /// sounding fades out within 2 ms. A replaced sound is kept alive until collectGarbage()
    /// sees the audio thread no longer uses it (setVoice itself collects too). Throws
    /// std::out_of_range unless slot is 1..4.
    void setVoice(int slot, std::shared_ptr<const SampleSet> sound);
    /// Sets the slot's level; reaches the audio within one buffer, ramped so it never clicks.
    void setLevel(int slot, Level level) noexcept;
    /// Frees replaced sounds that the audio thread has let go of (at once while no output runs).
    void collectGarbage();
    /// Tells the mixer that the output has stopped calling render (closed). Silences the voices,
    /// forgets pending beats and the clock map, and lets collectGarbage free every replaced
    /// sound at once. The next render starts afresh. Control thread, after the output stopped.
    void outputStopped() noexcept;
    /// Tells the mixer that the output lost its stream and opens a new one: the next render
    /// does not follow the last one in time, and voices still sounding are dropped. Any thread.
    void outputRestarted() noexcept override;
    /// The output's next stamp is off the line of the last ones by a step. Any thread.
    void outputStepped() noexcept override;
    /// True when the last render had no voice sounding and no beat waiting. Any thread.
    bool silent() const noexcept override;
    /// How much later than scheduled time + outputLatency() the current run's beats are heard,
    /// after the disturbances it went through. Any thread.
    core::Clock::duration heardLater() const noexcept;

    /// The run has stopped at `at`: its beats scheduled later, handed over ahead of their time,
    /// do not sound. Any thread.
    void endRun(std::uint64_t run, core::TimePoint at) noexcept;

    /// Queues one beat. Returns false (and counts a drop) when the queue is full.
    /// Beat thread only; never blocks.
    bool schedule(const core::BeatCue& cue) noexcept;

    /// Mixes one buffer: feeds the clock map, starts the beats due in it on their frames, and
    /// mixes the sounding voices at their slots' levels, clamped to [-1, 1]. With a stamp of
    /// TimePoint{} (the output cannot tell when the buffer plays) new beats wait.
    /// Audio thread only.
    void render(float* out, std::size_t frames,
                core::TimePoint callbackTime) noexcept override; // [rt]

    /// The fixed delay between a beat's scheduled time and its sound. Any thread.
    core::Clock::duration outputLatency() const noexcept;
    /// Beats that started later than their frame (played at the earliest frame possible).
    /// Any thread.
    std::uint64_t lateStarts() const noexcept;
    /// Beats dropped because the queue was full. Any thread.
    std::uint64_t droppedCues() const noexcept;
    /// Frame-grid corrections made to follow a device clock that parts from the monotonic one.
    /// Any thread.
    std::uint64_t gridCorrections() const noexcept;
    /// Beats skipped because their frame had passed when they could be placed (the output
    /// stalled, restarted or had not started), or because the output stalled or restarted
    /// before they sounded. Any thread.
    std::uint64_t skippedCues() const noexcept;
    /// How often the clock map and grid started afresh after a stall or restart. Any thread.
    std::uint64_t resyncs() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace metro::sound
