#pragma once

#include "ClockMap.h"

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"

#include <cstdint>

namespace metro::sound::detail {

/// Places the beats of a run on the output's frames.
///
/// The first beat of a run is anchored on the frame that the clock map gives for its scheduled
/// time plus the output latency. Every later beat lands on anchor + round((scheduled - first
/// scheduled) x run rate), rounded once from the anchor. The run rate is the nominal one unless
/// the map has measured the output's clock more than 50 ppm off the monotonic one, then the
/// measured rate: whole-frame periods stay exact on a true clock, and a fast or slow one still
/// gets a straight grid. The map (its steady line, once it has one, so that a burst of odd
/// callbacks does not move the grid) is consulted again for each beat to notice the grid
/// parting from it: past 1 ms the run goes on from that beat at the map's measured rate (if it has
/// one and it differs), and the grid is pulled back until it is within 0.5 ms again, one frame a
/// beat where that keeps up, never more than max(1, round(period x 2e-4)) frames.
/// The sound heard is the master of a run: it may move later, once per disturbance, but never
/// back. When the map took a step because the output played silence (an underrun, a held or
/// moved stream), the grid keeps its frames and the sound stays that much later (shift());
/// only a step the other way moves the grid forward onto the map. A run anchored again after a
/// stall or a restart (reset()) never starts its sound before the old grid would have.
/// Audio thread only (the mixer's render).
class BeatGrid {
public:
    /// With `exactStamps` (a server's timing info rather than callback times) the grid lets
    /// the map wander twice as far before it corrects.
    BeatGrid(int sampleRate, core::Clock::duration outputLatency,
             bool exactStamps = false) noexcept;

    /// The frame on which this cue starts; cues of one run come in scheduled order.
    std::int64_t place(const core::BeatCue& cue, const ClockMap& map) noexcept;
    /// The cue just placed will not sound (its frame has passed): had it anchored the run, the
    /// next cue anchors instead, so that a grid is never anchored on a beat already past.
    void dropLast() noexcept { m_anchored = m_anchored && !m_justAnchored; }
    /// The map no longer holds: the run's next cue anchors afresh, not before the old grid.
    void reset() noexcept { m_anchored = false; }
    /// How much later than its scheduled time plus the output latency the run's sound is heard.
    core::Clock::duration shift() const noexcept;
    /// Grid moves made so far (each a correction of at most the cap, or a re-anchoring).
    std::uint64_t corrections() const noexcept { return m_corrections; }

    /// Whole frames in a span of monotonic time at `sampleRate`, rounded to nearest.
    static std::int64_t framesIn(core::Clock::duration span, int sampleRate) noexcept;
    /// The most the grid moves in one beat of `periodFrames`.
    static std::int64_t correctionCap(std::int64_t periodFrames) noexcept;

private:
    std::int64_t correction(double offset, std::int64_t periodFrames) noexcept;
    std::int64_t gridFrame(core::TimePoint scheduled) const noexcept;
    /// Notes when the beat placed on `frame` is heard, and returns the frame.
    std::int64_t heard(const core::BeatCue& cue, std::int64_t frame) noexcept;
    /// Starts the grid at `anchor` for `scheduled`, at `rate` frames a second (0: nominal).
    void startRun(core::TimePoint scheduled, std::int64_t anchor, double rate) noexcept;
    /// The rate a new run takes: nominal unless the map measured the output well off it.
    double anchorRate(const ClockMap& map) const noexcept;
    /// Where the beat should be by the map: its steady line once it has one (levelled with the
    /// loop's `mapped` where the line took over), else `mapped`.
    double reference(core::TimePoint scheduled, double mapped, const ClockMap& map) noexcept;

    int m_sampleRate;
    core::Clock::duration m_latency;
    double m_startThreshold; // frames off the map before corrections begin
    double m_stopThreshold;  // frames off the map at which they stop
    double m_growThreshold;  // frames off the map beyond which the step grows
    double m_reanchorThreshold;
    bool m_hasRun = false;       // a run has been placed (m_run is valid)
    bool m_anchored = false;     // the run's grid follows the current map
    bool m_justAnchored = false; // the last cue placed anchored it
    std::uint64_t m_run = 0;
    double m_level = 0.0;          // frames the sound lies behind the map after steps (<= 0)
    core::TimePoint m_lastHeard{}; // when the last beat placed is heard
    core::TimePoint m_firstScheduled{};
    core::TimePoint m_lastScheduled{};
    std::int64_t m_anchor = 0;
    bool m_nominalRate = true;
    double m_runRate = 0.0; // frames per monotonic second when not nominal
    bool m_onLine = false;
    double m_lineOffset = 0.0;
    std::int64_t m_shift = 0;
    bool m_correcting = false;
    std::int64_t m_stepSize = 1; // frames moved per corrected beat, learnt from the drift
    std::uint64_t m_corrections = 0;
    std::uint64_t m_mapSteps = 0; // the map's steps() the run has followed
};

} // namespace metro::sound::detail
