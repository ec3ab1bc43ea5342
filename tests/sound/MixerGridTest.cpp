#include "ClockMap.h"
#include "MixerTestSupport.h"

#include "metro/sound/Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace metro::sound::test {
namespace {

struct Grid {
    std::vector<std::int64_t> onsets;
    double worstOffset = 0.0;   // frames between an onset and where its scheduled time plays
    double worstResidual = 0.0; // frames off the least-squares line through the second half
    double lastOffset = 0.0;
};

/// One run of `beats` beats a period apart on an output whose clock runs `ppm` off, the stream
/// running `preroll` before the first beat (the program keeps it running while stopped).
Grid PlayLongRun(Mixer& mixer, SimulatedOutput::Options options, Nanos period, int beats,
                 Nanos preroll) {
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Impulse(options.rate));
    }
    SimulatedOutput output(mixer, options);
    const TimePoint first = output.origin() + preroll;
    Grid grid{PlayRun(mixer, output, first, period, beats)};
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
        grid.lastOffset = static_cast<double>(grid.onsets[k]) - output.trueFrameAt(sounds);
        grid.worstOffset = std::max(grid.worstOffset, std::fabs(grid.lastOffset));
    }
    return grid;
}

// A true clock: every beat of a long run lands on anchor + round(k x period x rate) (so whole-
// frame periods are exact), with callbacks and beat-thread wake-ups jittering by milliseconds.
TEST(MixerGrid, LongRunOnTheNominalGridAt48kAnd44k1) {
    for (const int rate : {48000, 44100}) {
        Mixer mixer(rate, kLatency);
        const int beats = 10000 / kLongTestDivisor;
        const Grid grid =
            PlayLongRun(mixer, {.rate = rate, .callbackJitter = 2ms, .seed = 11}, 451ms, beats, 5s);
        ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats));
        const double period = 0.451 * rate;
        for (std::size_t k = 0; k < grid.onsets.size(); ++k) {
            ASSERT_LE(std::fabs(static_cast<double>(grid.onsets[k] - grid.onsets[0]) -
                                period * static_cast<double>(k)),
                      0.5 + 1e-6)
                << rate << " Hz, beat " << k;
        }
        EXPECT_LT(grid.worstOffset, 0.0002 * rate) << "the anchor follows the map, not the jitter";
        EXPECT_EQ(mixer.gridCorrections(), 0U);
        EXPECT_EQ(mixer.lateStarts(), 0U);
    }
}

// The output stalls 3 s (a frozen sound server), or restarts its stream after 100 ms (a server
// started again), while the beats go on: no beat queued or placed across the break sounds
// after it, and within a second the run goes on from a new anchor, on the frames where its
// beats' times play, a whole period apart.
TEST(MixerGrid, ResumesOnTheScheduledTimesAfterAStallOrARestart) {
    for (const bool restart : {false, true}) {
        Mixer mixer(48000, kLatency);
        for (int slot = 1; slot <= 4; ++slot) {
            mixer.setVoice(slot, Impulse(48000));
        }
        SimulatedOutput output(mixer, {.callbackJitter = 500us, .seed = 3});
        const Nanos gap = restart ? Nanos(100ms) : Nanos(3s);
        const Nanos period = 150ms;
        const int beats = 80;
        const TimePoint first = output.origin() + 2s;
        const TimePoint breaks = first + 3s;
        OnsetFinder before;
        OnsetFinder after;
        Nanos shift{0};
        for (int next = 0;;) {
            TimePoint now = output.nextCallbackTime() + shift;
            if (shift == Nanos(0) && now >= breaks) {
                shift = gap;
                now += gap;
                if (restart) {
                    mixer.outputRestarted();
                }
            }
            if (now > first + period * beats + kLatency) {
                break;
            }
            for (; next < beats && first + period * next + 1ms <= now; ++next) {
                mixer.schedule(core::BeatCue{next % 4 + 1, first + period * next, 1});
            }
            const std::int64_t start = output.framesRendered();
            (shift == Nanos(0) ? before : after).scan(output.render(now), start);
        }
        // Where beat k's time plays, in frames after the break, and the beat an onset is for.
        const auto frameOf = [&](std::int64_t k) {
            return output.trueFrameAt(first + period * k + kLatency - gap);
        };
        const double k0 = (output.trueFrameAt(breaks + 1s) - frameOf(0)) / 7200;
        ASSERT_FALSE(after.onsets.empty());
        EXPECT_GE(before.onsets.size(), 19U) << restart;
        const double resumed = (static_cast<double>(after.onsets[0]) - frameOf(0)) / 7200;
        EXPECT_LE(resumed, k0) << restart << ": back within a second";
        for (std::size_t i = 0; i < after.onsets.size(); ++i) {
            const auto k = std::llround(resumed) + static_cast<std::int64_t>(i);
            EXPECT_NEAR(static_cast<double>(after.onsets[i]), frameOf(k), 48.0) << restart << i;
            if (i > 0) {
                EXPECT_EQ(after.onsets[i] - after.onsets[i - 1], 7200) << restart << i;
            }
        }
        EXPECT_EQ(std::llround(resumed) + static_cast<std::int64_t>(after.onsets.size()), beats);
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
        Mixer mixer(48000, kLatency);
        const Grid grid =
            PlayLongRun(mixer, {.callbackJitter = 2ms, .seed = 9, .stall = stall, .stallAt = 40.0},
                        150ms, 400, 15s);
        ASSERT_EQ(grid.onsets.size(), 400U);
        for (std::size_t k = 1; k < grid.onsets.size(); ++k) {
            ASSERT_EQ(grid.onsets[k] - grid.onsets[k - 1], 7200) << stall.count() << " beat " << k;
        }
        EXPECT_NEAR(grid.lastOffset, 48.0 * static_cast<double>(stall / 1ms), 24.0);
        const double heardLaterMs =
            std::chrono::duration<double, std::milli>(mixer.heardLater()).count();
        EXPECT_NEAR(heardLaterMs, static_cast<double>(stall / 1ms), 0.5);
        EXPECT_EQ(mixer.gridCorrections(), 0U) << stall.count();
        EXPECT_EQ(mixer.lateStarts(), 0U);
    }
}

// An output that pulls two or three buffers at once at the start of each 1024-frame cycle: the
// bursts are not jitter to correct, so the grid of a true clock stays exact, a fixed fraction
// of a cycle off where the beats play, and no beat is late.
TEST(MixerGrid, StaysExactWhenTheOutputPullsBuffersInBursts) {
    Mixer mixer(48000, kLatency);
    const int beats = 2000 / kLongTestDivisor;
    const Grid grid = PlayLongRun(mixer, {.callbackJitter = 200us, .seed = 4, .cycleFrames = 1024},
                                  150ms, beats, 5s);
    ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats));
    for (std::size_t k = 1; k < grid.onsets.size(); ++k) {
        ASSERT_EQ(grid.onsets[k] - grid.onsets[k - 1], 7200) << "beat " << k;
    }
    EXPECT_LT(grid.worstOffset, 1024.0);
    EXPECT_EQ(mixer.gridCorrections(), 0U);
    EXPECT_EQ(mixer.lateStarts(), 0U);
}

struct DriftCase {
    double ppm;
    Nanos period;
    std::chrono::seconds length;
    Nanos callbackJitter;
};

class MixerDrift : public ::testing::TestWithParam<DriftCase> {};

// The device clock runs off the monotonic one: once the map has measured it the beats form a
// straight grid (within the rounding and the few corrections), they stay near where their times
// really play (drawn back once parted), and none is late.
TEST_P(MixerDrift, FollowsTheDeviceClockOnAStraightGrid) {
    const DriftCase drift = GetParam();
    Mixer mixer(48000, kLatency);
    const auto beats = static_cast<int>(drift.length / drift.period / kLongTestDivisor);
    const Grid grid =
        PlayLongRun(mixer, {.ppm = drift.ppm, .callbackJitter = drift.callbackJitter, .seed = 5},
                    drift.period, beats, 15s);
    ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats));
    EXPECT_LT(grid.worstOffset, 0.0015 * 48000);
    EXPECT_LE(grid.worstResidual, 0.6 + static_cast<double>(mixer.gridCorrections()));
    EXPECT_LT(std::fabs(grid.lastOffset), 0.00075 * 48000) << "pulled back after parting";
    EXPECT_LE(mixer.gridCorrections(), 60U);
    EXPECT_EQ(mixer.lateStarts(), 0U);
}

INSTANTIATE_TEST_SUITE_P(DeviceClocks, MixerDrift,
                         ::testing::Values(DriftCase{230.0, 451ms, 1800s, 2ms},
                                           DriftCase{-100.0, 150ms, 1800s, 2ms},
                                           DriftCase{20.0, 1000ms, 1800s, 500us}));

/// A clock map fed by a simulated output's callbacks.
struct MapFeed final : AudioSource {
    void render(float* /*out*/, std::size_t frames, TimePoint time) noexcept override {
        map.update(frame, time);
        frame += static_cast<std::int64_t>(frames);
    }
    /// Renders until `seconds` of audio have been asked for, every callback `late`.
    void feed(SimulatedOutput& output, double seconds, Nanos late = 0ns) {
        while (static_cast<double>(output.framesRendered()) < seconds * 48000) {
            output.render(output.nextCallbackTime() + late);
        }
    }
    /// How far (in seconds) the map puts the frame that plays `ahead` after the last buffer.
    double error(const SimulatedOutput& output, double ahead = 0.0, Nanos late = 0ns) const {
        const TimePoint at =
            output.origin() +
            Nanos(std::llround((static_cast<double>(frame) / 48000 + ahead) * 1e9));
        return (map.frameAt(at + late) - output.trueFrameAt(at)) / 48000;
    }
    detail::ClockMap map{48000};
    std::int64_t frame = 0;
};

TEST(MixerClockMap, LocksOntoJitteryDriftingDevicesMeasuresTheirRateAndFollowsAJump) {
    for (const double ppm : {-230.0, 0.0, 100.0}) {
        MapFeed feed;
        SimulatedOutput output(feed, {.ppm = ppm, .callbackJitter = 2ms, .seed = 42});
        feed.feed(output, 12.0);
        EXPECT_EQ(feed.map.measuredRate(), 0.0) << "too few readings for a rate yet";
        feed.feed(output, 30.0);
        ASSERT_TRUE(feed.map.locked());
        EXPECT_LT(std::fabs(feed.error(output, 0.07)), 0.0002) << ppm << " ppm";
        EXPECT_NEAR(feed.map.measuredRate() / 48000, 1.0 + ppm * 1e-6, 3e-6) << ppm << " ppm";
        EXPECT_EQ(feed.map.relocks(), 0U);
        // The output loses 30 ms for good (an underrun): the map takes the step at once, keeping
        // its rate, rather than skipping or learning a drift.
        feed.feed(output, 35.0, 30ms);
        EXPECT_EQ(feed.map.relocks(), 0U);
        EXPECT_EQ(feed.map.steps(), 1U);
        EXPECT_NEAR(feed.map.measuredRate() / 48000, 1.0 + ppm * 1e-6, 3e-6) << ppm << " ppm";
        EXPECT_LT(std::fabs(feed.error(output, 0.0, 30ms)), 0.0005);
    }
}

} // namespace
} // namespace metro::sound::test
