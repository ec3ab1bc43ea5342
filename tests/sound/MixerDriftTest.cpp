#include "MixerTestSupport.h"

#include "metro/sound/Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>

namespace metro::sound::test {
namespace {

struct DriftCase {
    double ppm;
    Nanos period;
    std::chrono::seconds length;
    std::int64_t cap; // the most one interval may differ from the period, in frames
                      // (1 where single frames keep up with the drift)
    Nanos callbackJitter;

    friend void PrintTo(const DriftCase& drift, std::ostream* out) {
        *out << drift.ppm << " ppm, period " << drift.period.count() << " ns";
    }
};

class MixerDrift : public ::testing::TestWithParam<DriftCase> {};

// The device clock runs off the monotonic one: the grid must follow it, staying about 1 ms from
// where the scheduled times really play, and moving by at most its cap per beat.
TEST_P(MixerDrift, FollowsTheDeviceClockInSmallSteps) {
    constexpr int kRate = 48000;
    const DriftCase drift = GetParam();
    Mixer mixer(kRate, kLatency);
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Impulse(kRate));
    }
    SimulatedOutput output(
        mixer,
        {.rate = kRate, .ppm = drift.ppm, .callbackJitter = drift.callbackJitter, .seed = 5});
    const TimePoint first = output.origin() + 5s;
    const auto beats = static_cast<int>(drift.length / drift.period / kLongTestDivisor);
    BeatSource source(mixer, first, drift.period, beats, 1, 3ms);
    const auto onsets = PlayAndListen(output, source, source.scheduled(beats));
    ASSERT_EQ(onsets.size(), static_cast<std::size_t>(beats));

    const std::int64_t period =
        std::chrono::duration_cast<std::chrono::microseconds>(drift.period).count() * kRate /
        1'000'000;
    double worstOffset = 0.0;
    std::int64_t worstStep = 0;
    for (std::size_t k = 0; k < onsets.size(); ++k) {
        const TimePoint scheduled = source.scheduled(static_cast<int>(k));
        const double offset =
            static_cast<double>(onsets[k]) - output.trueFrameAt(scheduled + kLatency);
        worstOffset = std::max(worstOffset, std::fabs(offset));
        if (k > 0) {
            worstStep = std::max(worstStep, std::abs(onsets[k] - onsets[k - 1] - period));
        }
    }
    // Corrections start at 1 ms off; the map's noise and one beat's drift come on top.
    EXPECT_LT(worstOffset, 0.0015 * kRate);
    EXPECT_LE(worstStep, drift.cap);
    // The run drifts by ppm x its length; the grid has to have moved by about that much.
    const double drifted = std::fabs(drift.ppm) * 1e-6 * beats * static_cast<double>(period);
    EXPECT_GE(static_cast<double>(mixer.gridCorrections()),
              drifted / static_cast<double>(drift.cap) * 0.9);
    EXPECT_EQ(mixer.lateStarts(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceClocks, MixerDrift,
    // Callbacks jitter by +-2 ms; the single-frame cases by a more usual +-0.5 ms, since the
    // clock map's noise under +-2 ms can now and then make a 2-frame step look needed.
    ::testing::Values(
        DriftCase{100.0, 150ms, 3600s, 1, 2ms}, DriftCase{-100.0, 150ms, 3600s, 1, 2ms},
        DriftCase{100.0, 1000ms, 1200s, 10, 2ms}, DriftCase{-100.0, 1000ms, 1200s, 10, 2ms},
        DriftCase{20.0, 500ms, 1800s, 1, 500us}, DriftCase{-20.0, 500ms, 1800s, 1, 500us}),
    [](const ::testing::TestParamInfo<DriftCase>& param) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(param.param.period);
        return std::string(param.param.ppm > 0 ? "Fast" : "Slow") +
               std::to_string(static_cast<int>(std::fabs(param.param.ppm))) + "ppm" +
               std::to_string(ms.count()) + "ms";
    });

} // namespace
} // namespace metro::sound::test
