#pragma once

#include "metro/core/Clock.h"

#include <array>
#include <cstdint>

namespace metro::sound::detail {

/// Maps the monotonic clock onto the output's frame counter.
///
/// Each callback feeds it one reading: how many frames had been rendered before the buffer,
/// and the monotonic time at which the output asked for it. A second-order delay-locked loop
/// smooths the callback jitter out of those readings. Readings of the first 0.3 s are only
/// used raw (outputs deliver their first buffers in a burst); the loop then starts wide
/// (2 Hz) and narrows to 0.1 Hz as it settles. A reading far off the prediction is skipped.
/// Eight skipped in a row whose last four lie off it by one offset are a step (an underrun):
/// the loop and the rate fit move by it, their rate kept, and the fit measures the step again
/// on the readings of the next 0.3 s. Any other eight restart the loop on the latest reading.
/// An output whose readings are exact (it reports which frame plays when, rather than when it
/// asked for a buffer) has no jitter to settle: the map locks on its first reading.
/// Audio thread only (the mixer's render).
class ClockMap {
public:
    explicit ClockMap(int sampleRate, bool exactReadings = false) noexcept;

    /// Feeds one callback: `frame` frames were rendered before the buffer asked for at `time`.
    void update(std::int64_t frame, core::TimePoint time) noexcept;
    /// The frame, with its fraction, that plays at monotonic time `time` (0 before any update).
    double frameAt(core::TimePoint time) const noexcept;
    /// Forgets every reading; the next update starts afresh.
    void reset() noexcept;

    /// True once the loop runs (past the raw readings of the first 0.3 s).
    bool locked() const noexcept { return m_phase == Phase::Locked; }
    /// True once the loop has run for `seconds` at `time` since it last (re)started.
    bool lockedFor(core::TimePoint time, double seconds) const noexcept {
        return locked() && (m_exact || secondsSinceOrigin(time) - m_loopStart >= seconds);
    }
    /// The output says its next reading is off the line by a step (it was held up, or moved to
    /// another device): that reading moves the loop at once, rate kept, and counts as a step.
    void expectStep() noexcept { m_stepNext = true; }
    /// The output's frames per monotonic second, fitted by least squares to the earliest
    /// reading of each second from 3 s after the loop (re)started (outputs fill their buffers
    /// fast at first), older ones fading out over a few minutes. 0 until 10 s are in.
    double measuredRate() const noexcept;
    /// The frame that plays at `time` on the fitted line behind measuredRate(): steadier than
    /// frameAt() when callbacks come in bursts, but only once measuredRate() is non-zero.
    double steadyFrameAt(core::TimePoint time) const noexcept;
    /// How many times the loop restarted after a run of readings off its prediction.
    std::uint64_t relocks() const noexcept { return m_relocks; }
    /// How many times the readings stepped: a run of them off the prediction by one offset (the
    /// output played silence, or skipped frames), which the loop took up at once, rate kept.
    std::uint64_t steps() const noexcept { return m_steps; }
    /// True while the map measures a step it has just seen again (about 0.3 s): its readings
    /// are then only roughly right.
    bool stepping() const noexcept { return m_stepPending; }

private:
    enum class Phase { Empty, Settling, Locked };
    static constexpr int kRelockAfter = 8; // misses in a row that end the loop as it runs

    double secondsSinceOrigin(core::TimePoint time) const noexcept;
    void startLoop(std::int64_t frame, double time) noexcept;
    void followReading(std::int64_t frame, double time) noexcept;
    double bandwidth(double time) const noexcept;
    double skipLimit() const noexcept;
    void fitReading(std::int64_t frame, double time) noexcept;
    /// Moves the loop by the offset of the last misses when they agree on one; else false.
    bool takeStep(std::int64_t frame, double time, double predicted) noexcept;

    double m_nominalSecondsPerFrame;
    bool m_exact;
    bool m_stepNext = false; // the next reading is a step (expectStep)
    Phase m_phase = Phase::Empty;
    core::TimePoint m_origin{};
    double m_loopStart = 0.0;
    // The loop's state: frame m_frame0 plays at m_time0 (s since m_origin); the frame period.
    std::int64_t m_frame0 = 0;
    double m_time0 = 0.0;
    double m_secondsPerFrame;
    double m_meanDeviation = 0.0;
    std::uint64_t m_deviationCount = 0;
    int m_missesInRow = 0;
    std::array<double, kRelockAfter>
        m_missErrors{}; // the current run of misses, seconds off the loop
    // The rate fit: weighted sums of time t on nominal time x = frames x nominal period, both
    // since the fit's first reading. Of each second's readings only the earliest against the
    // nominal rate goes in: callbacks come late by varying amounts, never early.
    struct Fit {
        bool started = false;
        double weight = 0, x = 0, t = 0, xx = 0, xt = 0, last = 0;
        double blockStart = 0, bestX = 0, bestT = 0;
        bool blockHasReading = false;
    } m_fit;
    double m_fitStart = 0.0;
    std::int64_t m_fitStartFrame = 0;
    std::uint64_t m_relocks = 0;
    std::uint64_t m_steps = 0;
    bool m_stepPending = false; // the fit measures the last step again on its next block
};

} // namespace metro::sound::detail
