#include "ClockMap.h"

#include "MixerTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace metro::sound::test {
namespace {

using detail::ClockMap;

constexpr int kRate = 48000;
constexpr std::int64_t kBuffer = 480;

/// Callbacks of a device whose clock runs `ppm` off, with uniform jitter of +-jitter.
class Callbacks {
public:
    Callbacks(double ppm, Nanos jitter) : m_rate(kRate * (1.0 + ppm * 1e-6)), m_jitter(jitter) {}

    /// Monotonic time at which frame `frame` really plays.
    TimePoint trueTime(double frame) const {
        return m_origin + Nanos(std::llround(frame / m_rate * 1e9));
    }
    /// Feeds buffers to the map until `seconds` of audio have been asked for.
    void feed(ClockMap& map, double seconds, Nanos offset = 0ns) {
        for (; static_cast<double>(m_frame) < seconds * m_rate; m_frame += kBuffer) {
            std::uniform_int_distribution<std::int64_t> pick(-m_jitter.count(), m_jitter.count());
            const Nanos jitter(pick(m_random));
            map.update(m_frame, trueTime(static_cast<double>(m_frame)) + jitter + offset);
        }
    }
    /// How far (in seconds) the map puts the frame that really plays at `time`.
    double error(const ClockMap& map, double frame, Nanos offset = 0ns) const {
        return (map.frameAt(trueTime(frame) + offset) - frame) / m_rate;
    }
    std::int64_t frame() const { return m_frame; }

private:
    double m_rate;
    Nanos m_jitter;
    TimePoint m_origin = TimePoint(std::chrono::seconds(777));
    std::int64_t m_frame = 0;
    std::mt19937_64 m_random{42};
};

TEST(MixerClockMap, LocksOntoAJitteryDriftingDevice) {
    for (const double ppm : {-100.0, 0.0, 100.0}) {
        ClockMap map(kRate);
        Callbacks callbacks(ppm, 2ms);
        callbacks.feed(map, 30.0);
        ASSERT_TRUE(map.locked());
        const auto now = static_cast<double>(callbacks.frame());
        EXPECT_LT(std::fabs(callbacks.error(map, now + 0.07 * kRate)), 0.0002) << ppm << " ppm";
        EXPECT_EQ(map.relocks(), 0U);
    }
}

TEST(MixerClockMap, UsesTheStartupBurstOnlyRaw) {
    // An output fills its device buffer first: the first callbacks come back to back.
    ClockMap map(kRate);
    Callbacks callbacks(0.0, 0ns);
    const TimePoint burst = callbacks.trueTime(0);
    for (std::int64_t frame = 0; frame < 10 * kBuffer; frame += kBuffer) {
        map.update(frame, burst);
    }
    Callbacks steady(0.0, 0ns);
    steady.feed(map, 0.5);
    EXPECT_TRUE(map.locked());
    EXPECT_LT(std::fabs(steady.error(map, 0.55 * kRate)), 0.00002)
        << "the loop started from a steady reading";
}

TEST(MixerClockMap, SkipsAnOutlierAndRelocksAfterAJump) {
    ClockMap map(kRate);
    Callbacks callbacks(0.0, 200us);
    callbacks.feed(map, 20.0);
    const auto frame = callbacks.frame();
    map.update(frame, callbacks.trueTime(static_cast<double>(frame)) + 20ms); // one stall
    callbacks.feed(map, 20.5);
    EXPECT_LT(std::fabs(callbacks.error(map, static_cast<double>(callbacks.frame()))), 0.00005);
    EXPECT_EQ(map.relocks(), 0U);

    // The output loses 30 ms for good (an underrun): the map must follow, not skip forever.
    callbacks.feed(map, 25.0, 30ms);
    EXPECT_EQ(map.relocks(), 1U);
    EXPECT_LT(std::fabs(callbacks.error(map, static_cast<double>(callbacks.frame()), 30ms)),
              0.0005);
}

} // namespace
} // namespace metro::sound::test
