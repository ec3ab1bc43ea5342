#include "BeatGrid.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace metro::sound::detail {

namespace {

// Twice that with a server's timing info, whose reports wander by up to a millisecond.
constexpr double kStartCorrectingSeconds = 0.001;
constexpr double kStopCorrectingSeconds = 0.0005;
// Above the DLL's noise on top of the start threshold: only real drift gets the grid there.
constexpr double kGrowStepSeconds = 0.00125;
// Beyond this the output lost or gained time at once (an underrun, a suspend), not drifted.
constexpr double kReanchorSeconds = 0.05;
constexpr double kCapPerPeriod = 2e-4;
// Well above the settled clock map's rate noise, well below the tens to hundreds of ppm by
// which real devices (and some sound servers' sinks) run off.
constexpr double kNominalRateTolerance = 50e-6;
// A grid already parted from the map takes a measured rate this far from its own.
constexpr double kRebaseRateTolerance = 0.5e-6;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

} // namespace

BeatGrid::BeatGrid(int sampleRate, core::Clock::duration outputLatency, bool exactStamps) noexcept
    : m_sampleRate(sampleRate), m_latency(outputLatency),
      m_startThreshold(kStartCorrectingSeconds * sampleRate * (exactStamps ? 2 : 1)),
      m_stopThreshold(kStopCorrectingSeconds * sampleRate * (exactStamps ? 2 : 1)),
      m_growThreshold((kGrowStepSeconds + (exactStamps ? kStartCorrectingSeconds : 0.0)) *
                      sampleRate),
      m_reanchorThreshold(kReanchorSeconds * sampleRate) {}

std::int64_t BeatGrid::framesIn(core::Clock::duration span, int sampleRate) noexcept {
    const std::int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    std::int64_t seconds = nanos / kNanosPerSecond;
    std::int64_t rest = nanos % kNanosPerSecond;
    if (rest < 0) {
        rest += kNanosPerSecond;
        --seconds;
    }
    return seconds * sampleRate + (rest * sampleRate + kNanosPerSecond / 2) / kNanosPerSecond;
}

std::int64_t BeatGrid::correctionCap(std::int64_t periodFrames) noexcept {
    const auto scaled = std::llround(static_cast<double>(periodFrames) * kCapPerPeriod);
    return std::max<std::int64_t>(1, scaled);
}

std::int64_t BeatGrid::gridFrame(core::TimePoint scheduled) const noexcept {
    const core::Clock::duration span = scheduled - m_firstScheduled;
    if (m_nominalRate) {
        return m_anchor + m_shift + framesIn(span, m_sampleRate);
    }
    return m_anchor + m_shift +
           std::llround(std::chrono::duration<double>(span).count() * m_runRate);
}

void BeatGrid::startRun(core::TimePoint scheduled, std::int64_t anchor, double rate) noexcept {
    m_firstScheduled = scheduled;
    m_anchor = anchor;
    m_shift = 0;
    m_nominalRate = rate <= 0.0;
    m_runRate = m_nominalRate ? static_cast<double>(m_sampleRate) : rate;
}

double BeatGrid::anchorRate(const ClockMap& map) const noexcept {
    const double measured = map.measuredRate();
    const double nominal = m_sampleRate;
    return std::fabs(measured - nominal) < kNominalRateTolerance * nominal ? 0.0 : measured;
}

std::int64_t BeatGrid::place(const core::BeatCue& cue, const ClockMap& map) noexcept {
    const double mapped = map.frameAt(cue.scheduled + m_latency);
    m_justAnchored = !m_hasRun || cue.run != m_run || !m_anchored;
    if (m_justAnchored) {
        // The same run anchored again after a stall goes on no sooner than its old grid would
        // have: its sound may come later than its time, never closer to the last beat.
        double anchor = mapped;
        if (m_hasRun && cue.run == m_run) {
            anchor = std::max(anchor, map.frameAt(m_lastHeard + (cue.scheduled - m_lastScheduled)));
        }
        m_hasRun = true;
        m_anchored = true;
        m_run = cue.run;
        m_lastScheduled = cue.scheduled;
        startRun(cue.scheduled, std::llround(anchor), anchorRate(map));
        m_level = mapped - anchor;
        m_mapSteps = map.steps();
        m_onLine = false;
        reference(cue.scheduled, mapped, map);
        m_correcting = false;
        m_stepSize = 1;
        return heard(cue, m_anchor);
    }
    const std::int64_t period = framesIn(cue.scheduled - m_lastScheduled, m_sampleRate);
    m_lastScheduled = cue.scheduled;
    const double offset =
        reference(cue.scheduled, mapped, map) - static_cast<double>(gridFrame(cue.scheduled));
    if (map.stepping()) {
        return heard(cue, gridFrame(cue.scheduled)); // the map is measuring a step: wait for it
    }
    if (map.steps() != m_mapSteps) {
        // The output stepped. Sound that came later stays later (the grid keeps its frames);
        // sound that came sooner would leave the grid behind the frames already written, so
        // the grid moves forward onto the map.
        m_mapSteps = map.steps();
        m_correcting = false;
        if (offset > 0.0) {
            ++m_corrections;
            m_shift += std::llround(offset);
            m_level = 0.0;
        } else {
            m_level = offset;
        }
        return heard(cue, gridFrame(cue.scheduled));
    }
    const double levelled = offset - m_level;
    const double measured = map.measuredRate();
    if (std::fabs(levelled) > m_startThreshold && measured > 0.0 &&
        std::fabs(measured - m_runRate) > kRebaseRateTolerance * m_sampleRate) {
        // The grid's rate is off: go on from this beat at the measured one.
        startRun(cue.scheduled, gridFrame(cue.scheduled), measured);
    }
    if (std::fabs(levelled) > m_reanchorThreshold) {
        // The output lost or gained time at once without a step of the map to show for it:
        // as for a step, sound that came later stays later, and a grid that would sound
        // sooner than the map moves forward onto it.
        ++m_corrections;
        m_correcting = false;
        if (levelled > 0.0) {
            m_shift += std::llround(levelled);
        } else {
            m_level += levelled;
        }
    } else if (measured > 0.0) {
        // Until the map has measured the device's rate, its phase wanders with the callbacks
        // or the server's reports more than a device drifts: the grid holds still meanwhile.
        m_shift += correction(levelled, period);
    }
    return heard(cue, gridFrame(cue.scheduled));
}

std::int64_t BeatGrid::heard(const core::BeatCue& cue, std::int64_t frame) noexcept {
    m_lastHeard = cue.scheduled + m_latency + shift();
    return frame;
}

core::Clock::duration BeatGrid::shift() const noexcept {
    const double seconds = -m_level / static_cast<double>(m_sampleRate);
    return std::chrono::duration_cast<core::Clock::duration>(
        std::chrono::duration<double>(std::max(0.0, seconds)));
}

double BeatGrid::reference(core::TimePoint scheduled, double mapped, const ClockMap& map) noexcept {
    if (map.measuredRate() <= 0.0) {
        m_onLine = false;
        return mapped;
    }
    const double steady = map.steadyFrameAt(scheduled + m_latency);
    if (!m_onLine) {
        m_onLine = true;
        m_lineOffset = mapped - steady;
    }
    return steady + m_lineOffset;
}

std::int64_t BeatGrid::correction(double offset, std::int64_t periodFrames) noexcept {
    if (std::fabs(offset) > m_startThreshold) {
        m_correcting = true;
    }
    if (!m_correcting) {
        return 0;
    }
    // Single frames while they keep the grid within reach; a grid still slipping further
    // means the clock drifts faster, so the step grows (up to the cap) and is kept for the next
    // correction, shrinking by one each time a correction completes.
    const std::int64_t cap = correctionCap(periodFrames);
    if (std::fabs(offset) > m_growThreshold) {
        ++m_stepSize;
    }
    m_stepSize = std::clamp<std::int64_t>(m_stepSize, 1, cap);
    const std::int64_t step =
        std::clamp<std::int64_t>(std::llround(offset), -m_stepSize, m_stepSize);
    if (std::fabs(offset - static_cast<double>(step)) <= m_stopThreshold) {
        m_correcting = false;
        m_stepSize = std::max<std::int64_t>(1, m_stepSize - 1);
    }
    if (step != 0) {
        ++m_corrections;
    }
    return step;
}

} // namespace metro::sound::detail
