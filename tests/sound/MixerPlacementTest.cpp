#include "MixerTestSupport.h"

#include "metro/sound/Mixer.h"
#include "metro/sound/OfflineOutput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace metro::sound::test {
namespace {

Mixer::Placement constexpr kExact = Mixer::Placement::Exact;

void LoadImpulses(Mixer& mixer, int rate) {
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Impulse(rate));
    }
}

TEST(MixerPlacement, FirstBeatOfEachRunStartsOnItsMappedFrame) {
    constexpr int kRate = 48000;
    Mixer mixer(kRate, kLatency, kExact);
    LoadImpulses(mixer, kRate);
    OfflineOutput output(kRate, 480);
    output.open(mixer);
    const TimePoint origin(std::chrono::seconds(500));
    std::int64_t buffer = 0;
    auto callbackTime = [&] { return origin + Nanos(buffer * 10'000'000); };
    auto pullUntil = [&](TimePoint until) {
        for (; callbackTime() < until; ++buffer) {
            output.pull(callbackTime());
        }
    };

    // Scheduled times off the frame grid by different fractions, each posted a few ms late.
    const Nanos offsets[] = {1'000'000'000ns, 1'337'012'345ns, 2'000'006'000ns, 2'500'017'000ns,
                             3'123'456'789ns};
    const Nanos wakeDelays[] = {120us, 2900us, 800us, 4us, 1700us};
    std::uint64_t run = 1;
    for (std::size_t i = 0; i < std::size(offsets); ++i, ++run) {
        const TimePoint scheduled = origin + offsets[i];
        pullUntil(scheduled + wakeDelays[i]);
        ASSERT_TRUE(mixer.schedule(core::BeatCue{1, scheduled, run}));
    }
    pullUntil(origin + 4s);

    OnsetFinder finder;
    finder.scan(output.recording(), 0);
    ASSERT_EQ(finder.onsets().size(), std::size(offsets));
    for (std::size_t i = 0; i < std::size(offsets); ++i) {
        const double ideal = std::chrono::duration<double>(offsets[i] + kLatency).count() * kRate;
        EXPECT_EQ(finder.onsets()[i], std::llround(ideal)) << "run " << i + 1;
    }
    EXPECT_EQ(mixer.lateStarts(), 0U);
}

TEST(MixerPlacement, CallbackJitterDoesNotMoveTheAnchor) {
    constexpr int kRate = 48000;
    Mixer mixer(kRate, kLatency, kExact);
    LoadImpulses(mixer, kRate);
    SimulatedOutput output(mixer, {.rate = kRate, .callbackJitter = 2ms, .seed = 3});
    double worst = 0.0;
    for (std::uint64_t run = 1; run <= 8; ++run) {
        const TimePoint first = output.origin() + std::chrono::seconds(10 * run) + 123457ns * run;
        BeatSource beats(mixer, first, 500ms, 1, run, 3ms, run);
        const auto onsets = PlayAndListen(output, beats, first + 1s);
        ASSERT_FALSE(onsets.empty());
        worst = std::max(worst, std::fabs(static_cast<double>(onsets.back()) -
                                          output.trueFrameAt(first + kLatency)));
    }
    // Callbacks jitter by up to 2 ms (96 frames); the clock map keeps the anchor within 0.2 ms.
    EXPECT_LT(worst, 0.0002 * kRate);
}

TEST(MixerPlacement, LateBeatStartsAtTheBufferStartAndIsCounted) {
    constexpr int kRate = 48000;
    Mixer mixer(kRate, 5ms, kExact);
    LoadImpulses(mixer, kRate);
    SimulatedOutput output(mixer, {.rate = kRate});
    OnsetFinder finder;
    for (int i = 0; i < 100; ++i) {
        output.render(output.drawCallbackTime());
    }
    // Scheduled 30 ms ago with a 5 ms latency: its frame has passed by the time it arrives.
    const TimePoint now = output.drawCallbackTime();
    ASSERT_TRUE(mixer.schedule(core::BeatCue{2, now - 30ms, 1}));
    const std::int64_t bufferStart = output.framesRendered();
    finder.scan(output.render(now), bufferStart);
    ASSERT_EQ(finder.onsets().size(), 1U);
    EXPECT_EQ(finder.onsets()[0], bufferStart);
    EXPECT_EQ(mixer.lateStarts(), 1U);
}

TEST(MixerPlacement, NextBufferBaselineStartsWhereTheCueArrives) {
    constexpr int kRate = 48000;
    Mixer mixer(kRate, kLatency, Mixer::Placement::NextBuffer);
    LoadImpulses(mixer, kRate);
    SimulatedOutput output(mixer, {.rate = kRate});
    OnsetFinder finder;
    std::vector<std::int64_t> expected;
    for (int i = 0; i < 200; ++i) {
        const TimePoint now = output.drawCallbackTime();
        if (i % 37 == 5) {
            mixer.schedule(core::BeatCue{1, now - 3ms, 1});
            expected.push_back(output.framesRendered());
        }
        finder.scan(output.render(now), output.framesRendered());
    }
    EXPECT_EQ(finder.onsets(), expected);
    EXPECT_EQ(mixer.lateStarts(), 0U);
}

// Every beat of a long run lands on anchor + round(k x period x rate), with callbacks and the
// beat thread's wake-ups both jittering by milliseconds.
void ExpectLongRunOnGrid(int rate, Nanos period, int beats) {
    Mixer mixer(rate, kLatency, kExact);
    LoadImpulses(mixer, rate);
    SimulatedOutput output(mixer, {.rate = rate, .callbackJitter = 2ms, .seed = 11});
    const TimePoint first = output.origin() + 5s;
    BeatSource source(mixer, first, period, beats, 1, 3ms);
    const auto onsets = PlayAndListen(output, source, source.scheduled(beats));

    ASSERT_EQ(onsets.size(), static_cast<std::size_t>(beats));
    EXPECT_LT(std::fabs(static_cast<double>(onsets[0]) - output.trueFrameAt(first + kLatency)),
              0.0002 * rate);
    const double periodFrames = std::chrono::duration<double>(period).count() * rate;
    int offGrid = 0;
    double worst = 0.0;
    for (std::size_t k = 0; k < onsets.size(); ++k) {
        const double ideal = static_cast<double>(k) * periodFrames;
        const double error = std::fabs(static_cast<double>(onsets[k] - onsets[0]) - ideal);
        worst = std::max(worst, error);
        offGrid += error > 0.5 + 1e-6 ? 1 : 0;
    }
    EXPECT_EQ(offGrid, 0) << "worst " << worst << " frames";
    EXPECT_EQ(mixer.gridCorrections(), 0U);
    EXPECT_EQ(mixer.lateStarts(), 0U);
    EXPECT_EQ(mixer.droppedCues(), 0U);
}

TEST(MixerPlacement, TenThousandBeatsExactlyOnTheGridAt48k) {
    ExpectLongRunOnGrid(48000, 451ms, 10000 / kLongTestDivisor);
}

TEST(MixerPlacement, TenThousandBeatsWithinHalfAFrameAt44k1) {
    ExpectLongRunOnGrid(44100, 451ms, 10000 / kLongTestDivisor);
}

} // namespace
} // namespace metro::sound::test
