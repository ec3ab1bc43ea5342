#include "ClockMap.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

namespace metro::sound::detail {

namespace {

constexpr double kSettleSeconds = 0.3;
constexpr double kWideBandwidth = 2.0;   // Hz, while the loop pulls in
constexpr double kNarrowBandwidth = 0.1; // Hz, once settled
constexpr double kNarrowingSeconds = 1.0;
constexpr double kMinSkipSeconds = 0.001;
// A server's timing reports wander by a few milliseconds now and then; what really moves the
// stream (running dry, a move) the output announces (expectStep).
constexpr double kMinSkipSecondsExact = 0.005;
// With callbacks that jitter by more than a millisecond, a fixed 1 ms limit would skip most
// readings and restart the loop over and over; the limit widens to this many mean deviations.
constexpr double kSkipDeviations = 4.0;
constexpr double kDeviationWindow = 100.0;
// Of a run of misses, the last this many agreeing on one offset make it a step.
constexpr int kStepReadings = 4;
constexpr double kMaxOmega = 0.5;
constexpr double kMaxRateError = 0.005;
constexpr double kFitDelaySeconds = 3.0;
constexpr double kFitMemorySeconds = 300.0;
constexpr double kFitMinSeconds = 10.0;
constexpr double kFitBlockSeconds = 1.0;
// The block after a step on which the fit measures it again: short, as the grid waits for it.
constexpr double kStepBlockSeconds = 0.3;

} // namespace

ClockMap::ClockMap(int sampleRate, bool exactReadings) noexcept
    : m_nominalSecondsPerFrame(1.0 / static_cast<double>(sampleRate)), m_exact(exactReadings),
      m_secondsPerFrame(m_nominalSecondsPerFrame) {}

void ClockMap::reset() noexcept {
    m_phase = Phase::Empty;
    m_secondsPerFrame = m_nominalSecondsPerFrame;
    m_meanDeviation = 0.0;
    m_deviationCount = 0;
    m_missesInRow = 0;
    m_fit = Fit{};
    m_stepPending = false;
    m_stepNext = false;
}

double ClockMap::secondsSinceOrigin(core::TimePoint time) const noexcept {
    return std::chrono::duration<double>(time - m_origin).count();
}

void ClockMap::update(std::int64_t frame, core::TimePoint time) noexcept {
    if (m_phase == Phase::Empty) {
        m_origin = time;
        m_phase = Phase::Settling;
    }
    const double now = secondsSinceOrigin(time);
    if (m_phase == Phase::Settling) {
        // Raw readings: the latest one, at the nominal rate, is the best guess there is.
        m_frame0 = frame;
        m_time0 = now;
        m_stepNext = false;
        if (now >= kSettleSeconds || m_exact) {
            startLoop(frame, now);
            m_phase = Phase::Locked;
        }
        return;
    }
    if (frame <= m_frame0) {
        return;
    }
    if (m_stepNext) {
        m_stepNext = false;
        const double predicted =
            m_time0 + static_cast<double>(frame - m_frame0) * m_secondsPerFrame;
        m_missErrors.fill(now - predicted);
        if (takeStep(frame, now, predicted)) {
            return;
        }
    }
    followReading(frame, now);
}

void ClockMap::startLoop(std::int64_t frame, double time) noexcept {
    m_frame0 = frame;
    m_time0 = time;
    m_loopStart = time;
    m_missesInRow = 0;
    m_fit = Fit{};
    m_stepPending = false;
}

void ClockMap::fitReading(std::int64_t frame, double time) noexcept {
    if (time - m_loopStart < kFitDelaySeconds) {
        return;
    }
    if (!m_fit.started) {
        m_fit.started = true;
        m_fitStart = time;
        m_fitStartFrame = frame;
    }
    const double t = time - m_fitStart;
    const double x = static_cast<double>(frame - m_fitStartFrame) * m_nominalSecondsPerFrame;
    const double block = m_stepPending ? kStepBlockSeconds : kFitBlockSeconds;
    if (t - m_fit.blockStart >= block && m_fit.blockHasReading) {
        if (m_stepPending) {
            // The first second after a step, against the line: what the step's estimate from
            // a few jittery readings missed. Both the line and the loop take it up.
            const double slope = (m_fit.weight * m_fit.xt - m_fit.x * m_fit.t) /
                                 (m_fit.weight * m_fit.xx - m_fit.x * m_fit.x);
            const double missed =
                m_fit.bestT - (m_fit.t - slope * m_fit.x) / m_fit.weight - slope * m_fit.bestX;
            m_fitStart += missed;
            m_time0 += missed;
            m_stepPending = false;
            ++m_steps;
            m_fit.blockStart = t - missed;
            m_fit.blockHasReading = false;
            fitReading(frame, time);
            return;
        }
        const double keep = std::exp((m_fit.last - m_fit.bestT) / kFitMemorySeconds);
        m_fit.weight = m_fit.weight * keep + 1.0;
        m_fit.x = m_fit.x * keep + m_fit.bestX;
        m_fit.t = m_fit.t * keep + m_fit.bestT;
        m_fit.xx = m_fit.xx * keep + m_fit.bestX * m_fit.bestX;
        m_fit.xt = m_fit.xt * keep + m_fit.bestX * m_fit.bestT;
        m_fit.last = m_fit.bestT;
        m_fit.blockStart = t;
        m_fit.blockHasReading = false;
    }
    if (!m_fit.blockHasReading || t - x < m_fit.bestT - m_fit.bestX) {
        m_fit.bestX = x;
        m_fit.bestT = t;
        m_fit.blockHasReading = true;
    }
}

double ClockMap::steadyFrameAt(core::TimePoint time) const noexcept {
    const double rate = measuredRate();
    if (rate <= 0.0) {
        return frameAt(time);
    }
    // The line t = intercept + x / (rate x nominal period), back to frames.
    const double slope = 1.0 / (rate * m_nominalSecondsPerFrame);
    const double intercept = (m_fit.t - slope * m_fit.x) / m_fit.weight;
    const double t = secondsSinceOrigin(time) - m_fitStart;
    return static_cast<double>(m_fitStartFrame) + (t - intercept) * rate;
}

double ClockMap::measuredRate() const noexcept {
    const double spread = m_fit.weight * m_fit.xx - m_fit.x * m_fit.x;
    const double covariance = m_fit.weight * m_fit.xt - m_fit.x * m_fit.t;
    if (m_phase != Phase::Locked || m_fit.last < kFitMinSeconds || spread <= 0.0 ||
        covariance <= 0.0) {
        return 0.0;
    }
    // t = a + slope x: a frame lasts slope x the nominal period.
    return spread / covariance / m_nominalSecondsPerFrame;
}

void ClockMap::followReading(std::int64_t frame, double time) noexcept {
    const double span = static_cast<double>(frame - m_frame0);
    const double predicted = m_time0 + span * m_secondsPerFrame;
    const double error = time - predicted;
    const double limit = skipLimit();

    ++m_deviationCount;
    const double weight = 1.0 / std::min(static_cast<double>(m_deviationCount), kDeviationWindow);
    m_meanDeviation += weight * (std::min(std::fabs(error), limit) - m_meanDeviation);

    if (std::fabs(error) > limit) {
        m_missErrors[static_cast<std::size_t>(m_missesInRow)] = error;
        if (++m_missesInRow >= kRelockAfter) {
            if (!takeStep(frame, time, predicted)) {
                ++m_relocks;
                startLoop(frame, time);
            }
            return;
        }
        m_frame0 = frame;
        m_time0 = predicted;
        return;
    }
    m_missesInRow = 0;
    fitReading(frame, time);
    const double omega =
        std::min(2.0 * std::numbers::pi * bandwidth(time) * span * m_secondsPerFrame, kMaxOmega);
    m_frame0 = frame;
    m_time0 = predicted + std::numbers::sqrt2 * omega * error;
    m_secondsPerFrame += omega * omega * error / span;
    m_secondsPerFrame =
        std::clamp(m_secondsPerFrame, m_nominalSecondsPerFrame * (1 - kMaxRateError),
                   m_nominalSecondsPerFrame * (1 + kMaxRateError));
}

bool ClockMap::takeStep(std::int64_t frame, double time, double predicted) noexcept {
    const auto last = m_missErrors.end();
    const auto [low, high] = std::minmax_element(last - kStepReadings, last);
    if (*high - *low > skipLimit() || (*low < 0.0) != (*high < 0.0)) {
        return false;
    }
    double step = 0.0;
    for (auto it = last - kStepReadings; it != last; ++it) {
        step += *it / kStepReadings;
    }
    // The whole line moves: the loop's phase and the rate fit's origin, not their slopes.
    m_frame0 = frame;
    m_time0 = predicted + step;
    m_missesInRow = 0;
    if (m_fit.started) {
        // The block in progress mixes readings from both sides of the step: drop it, and
        // measure the step again on the next one where the line has a slope to measure it by.
        m_fitStart += step;
        m_fit.blockStart = time - m_fitStart;
        m_fit.blockHasReading = false;
        m_stepPending = !m_exact && m_fit.weight * m_fit.xx - m_fit.x * m_fit.x > 0.0;
    }
    m_steps += m_stepPending ? 0 : 1;
    return true;
}

double ClockMap::bandwidth(double time) const noexcept {
    const double settled = (time - m_loopStart) / kNarrowingSeconds;
    return kNarrowBandwidth + (kWideBandwidth - kNarrowBandwidth) * std::exp(-settled);
}

double ClockMap::skipLimit() const noexcept {
    return std::max(m_exact ? kMinSkipSecondsExact : kMinSkipSeconds,
                    kSkipDeviations * m_meanDeviation);
}

double ClockMap::frameAt(core::TimePoint time) const noexcept {
    if (m_phase == Phase::Empty) {
        return 0.0;
    }
    return static_cast<double>(m_frame0) + (secondsSinceOrigin(time) - m_time0) / m_secondsPerFrame;
}

} // namespace metro::sound::detail
