// Where the mixer places beats on the output's frames: exact grids on a true clock, drifting
// device clocks, underruns, stalls and restarts of the stream, bursts of callbacks.
#include "MixerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace metro::sound::test {
namespace {

struct Grid {
    std::vector<std::int64_t> onsets;
    std::vector<double> offsets; // frames from each onset to where its beat's time plays
    double worstOffset = 0.0;
    double worstResidual = 0.0; // frames off the least-squares line through the second half
};

/// One run of `beats` beats a period apart, the stream running `preroll` before the first (the
/// program keeps it running while stopped). Each beat is posted when the beat thread wakes,
/// 0..3 ms after its time; the output renders until the last has sounded.
Grid play(Mixer& mixer, SimulatedOutput& output, Nanos period, int beats, Nanos preroll) {
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Impulse());
    }
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> wake(0, 3'000'000);
    OnsetFinder finder;
    const TimePoint first = output.origin + preroll;
    TimePoint nextWake = first + Nanos(wake(random));
    for (int next = 0;;) {
        const TimePoint now = output.nextCallbackTime();
        if (now >= first + period * beats + kLatency) {
            break;
        }
        for (; next < beats && nextWake <= now; ++next) {
            mixer.schedule(core::BeatCue{next % 4 + 1, first + period * next, 1});
            nextWake = first + period * (next + 1) + Nanos(wake(random));
        }
        const std::int64_t start = output.framesRendered();
        finder.scan(output.render(now), start);
    }
    Grid grid;
    grid.onsets = finder.onsets;
    const std::size_t half = grid.onsets.size() / 2;
    const auto count = static_cast<double>(grid.onsets.size() - half);
    double sk = 0, sy = 0, skk = 0, sky = 0;
    for (std::size_t k = half; k < grid.onsets.size(); ++k) {
        const auto y = static_cast<double>(grid.onsets[k] - grid.onsets[0]);
        sk += static_cast<double>(k), sy += y, skk += static_cast<double>(k * k);
        sky += static_cast<double>(k) * y;
    }
    const double slope = (count * sky - sk * sy) / (count * skk - sk * sk);
    const double intercept = (sy - slope * sk) / count;
    for (std::size_t k = 0; k < grid.onsets.size(); ++k) {
        const auto y = static_cast<double>(grid.onsets[k] - grid.onsets[0]);
        const double residual = std::fabs(y - intercept - slope * static_cast<double>(k));
        grid.worstResidual = std::max(grid.worstResidual, k >= half ? residual : 0.0);
        const TimePoint sounds = first + period * static_cast<int>(k) + kLatency;
        grid.offsets.push_back(static_cast<double>(grid.onsets[k]) - output.trueFrameAt(sounds));
        grid.worstOffset = std::max(grid.worstOffset, std::fabs(grid.offsets.back()));
    }
    return grid;
}

// A true clock: every beat of a long run lands on anchor + round(k x period x rate) (so whole-
// frame periods are exact), with callbacks and beat-thread wake-ups jittering by milliseconds,
// also when the output pulls two or three buffers at once at the start of each 1024-frame cycle:
// bursts are not jitter to correct. The beats play where their times do, give or take the jitter
// (or a fixed fraction of a burst's cycle), none late and the grid never corrected.
TEST(MixerGrid, LongRunOnTheNominalGridAt48kAnd44k1EvenInBursts) {
    for (const auto& [rate, cycle] : {std::pair{48000, 0}, {44100, 0}, {48000, 1024}}) {
        Mixer mixer(rate, kLatency);
        SimulatedOutput output(
            mixer, {.rate = rate, .callbackJitter = 2ms, .seed = 11, .cycleFrames = cycle});
        const int beats = 10000 / kLongTestDivisor;
        const Grid grid = play(mixer, output, 451ms, beats, 5s);
        ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats));
        for (std::size_t k = 0; k < grid.onsets.size(); ++k) {
            ASSERT_LE(std::fabs(static_cast<double>(grid.onsets[k] - grid.onsets[0]) -
                                0.451 * rate * static_cast<double>(k)),
                      0.5 + 1e-6)
                << rate << " Hz, cycle " << cycle << ", beat " << k;
        }
        EXPECT_LT(grid.worstOffset, cycle > 0 ? 1024.0 : 0.0002 * rate) << rate << ", " << cycle;
        EXPECT_EQ(mixer.gridCorrections(), 0U);
        EXPECT_EQ(mixer.lateStarts(), 0U);
    }
}

// The output stalls 3 s (a frozen sound server), or restarts its stream after 100 ms (a server
// started again), 3 s into the run: no beat queued or placed across the break sounds after it,
// and within a second the run goes on from a new anchor, on the frames where its beats' times
// play, a whole period apart.
TEST(MixerGrid, ResumesOnTheScheduledTimesAfterAStallOrARestart) {
    for (const bool restart : {false, true}) {
        Mixer mixer(kRate, kLatency);
        SimulatedOutput output(mixer, {.callbackJitter = 500us,
                                       .seed = 3,
                                       .stall = restart ? Nanos(100ms) : Nanos(3s),
                                       .stallAt = 5.0,
                                       .restart = restart});
        const Grid grid = play(mixer, output, 150ms, 80, 2s);
        const auto after = std::find_if(grid.onsets.begin(), grid.onsets.end(),
                                        [](std::int64_t frame) { return frame >= 5 * kRate; });
        EXPECT_GE(after - grid.onsets.begin(), 19) << restart;
        ASSERT_NE(after, grid.onsets.end()) << restart;
        // After the break, beat k's time plays on frame (2.06 s + k x 150 ms - stall) x rate:
        // the first beat heard again is due within a second of the output's return, the next
        // ones a period apart.
        const double stalled = restart ? 0.1 : 3.0;
        const auto frameOf = [&](std::int64_t k) {
            return (2.06 + 0.15 * double(k) - stalled) * kRate;
        };
        const auto resumed = std::llround((double(*after) / kRate + stalled - 2.06) / 0.15);
        EXPECT_LE(2.06 + 0.15 * double(resumed), 5.0 + stalled + 1.0) << restart;
        EXPECT_EQ(resumed + (grid.onsets.end() - after), 80) << restart;
        for (auto onset = after; onset != grid.onsets.end(); ++onset) {
            const auto k = resumed + (onset - after);
            EXPECT_NEAR(static_cast<double>(*onset), frameOf(k), 48.0) << restart << k;
            EXPECT_TRUE(onset == after || *onset - onset[-1] == 7200) << restart << k;
        }
        EXPECT_EQ(mixer.resyncs(), 1U) << restart;
        EXPECT_GT(mixer.skippedCues(), 0U) << restart;
    }
}

// The output plays 20 or 40 ms of silence once (an underrun), so every later frame sounds that
// much later. That is a step, not a drift: the beats keep their frames (the stream's intervals
// stay exact, so the one heard across the silence is longer, never shorter), the run reports
// its sound that much later, and nothing pulls the grid back.
TEST(MixerGrid, TakesAnUnderrunAsOneStep) {
    for (const Nanos stall : {Nanos(20ms), Nanos(40ms)}) {
        Mixer mixer(kRate, kLatency);
        SimulatedOutput output(mixer,
                               {.callbackJitter = 2ms, .seed = 9, .stall = stall, .stallAt = 40.0});
        const Grid grid = play(mixer, output, 150ms, 400, 15s);
        ASSERT_EQ(grid.onsets.size(), 400U);
        for (std::size_t k = 1; k < grid.onsets.size(); ++k) {
            ASSERT_EQ(grid.onsets[k] - grid.onsets[k - 1], 7200) << stall.count() << " beat " << k;
        }
        EXPECT_NEAR(grid.offsets.back(), 48.0 * static_cast<double>(stall / 1ms), 24.0);
        const double heardLaterMs =
            std::chrono::duration<double, std::milli>(mixer.heardLater()).count();
        EXPECT_NEAR(heardLaterMs, static_cast<double>(stall / 1ms), 0.5);
        EXPECT_EQ(mixer.gridCorrections(), 0U) << stall.count();
        EXPECT_EQ(mixer.lateStarts(), 0U);
    }
}

struct DriftCase {
    double ppm;
    Nanos period;
    Nanos callbackJitter;
};

class MixerDrift : public ::testing::TestWithParam<DriftCase> {};

// The device clock runs off the monotonic one for half an hour: once the map has measured it
// the beats form a straight grid (within the rounding and the few corrections), they stay near
// where their times really play (drawn back once parted), and none is late.
TEST_P(MixerDrift, FollowsTheDeviceClockOnAStraightGrid) {
    const DriftCase drift = GetParam();
    Mixer mixer(kRate, kLatency);
    SimulatedOutput output(mixer,
                           {.ppm = drift.ppm, .callbackJitter = drift.callbackJitter, .seed = 5});
    const auto beats = static_cast<int>(1800s / drift.period / kLongTestDivisor);
    const Grid grid = play(mixer, output, drift.period, beats, 15s);
    ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats));
    EXPECT_LT(grid.worstOffset, 0.0015 * kRate);
    EXPECT_LE(grid.worstResidual, 0.6 + static_cast<double>(mixer.gridCorrections()));
    EXPECT_LT(std::fabs(grid.offsets.back()), 0.00075 * kRate) << "pulled back after parting";
    EXPECT_LE(mixer.gridCorrections(), 60U);
    EXPECT_EQ(mixer.lateStarts(), 0U);
}

INSTANTIATE_TEST_SUITE_P(DeviceClocks, MixerDrift,
                         ::testing::Values(DriftCase{230.0, 451ms, 2ms},
                                           DriftCase{-100.0, 150ms, 2ms},
                                           DriftCase{20.0, 1000ms, 500us}));

} // namespace
} // namespace metro::sound::test
