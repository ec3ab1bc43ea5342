#include "Onsets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace metro::testsupport {
namespace {

/// Stereo silence with a decaying burst (louder on the right) starting at each given frame.
std::vector<float> burstsAt(const std::vector<std::int64_t>& starts, std::size_t frames) {
    std::vector<float> out(frames * 2, 0.0F);
    for (const std::int64_t start : starts) {
        for (std::size_t i = 0; i < 300; ++i) {
            const auto frame = static_cast<std::size_t>(start) + i;
            const float level = 1.0F / static_cast<float>(i + 1);
            out[frame * 2] = 0.5F * level * (i % 2 == 0 ? 1.0F : -1.0F);
            out[frame * 2 + 1] = level;
        }
    }
    return out;
}

TEST(Onsets, FindsTheFirstLoudFrameOfEachSound) {
    const std::vector<std::int64_t> starts{0, 5000, 12201, 19402};
    const auto recording = burstsAt(starts, 25000);
    EXPECT_EQ(FindOnsets(recording, 2), starts);
    // A sound that follows too soon after the last one is part of it.
    EXPECT_EQ(FindOnsets(recording, 2, {.relativeThreshold = 0.1, .minQuietFrames = 6000}),
              (std::vector<std::int64_t>{0, 12201, 19402}));
    EXPECT_TRUE(FindOnsets(std::vector<float>(100, 0.0F), 2).empty());
}

TEST(Onsets, MatchesBeatsAndCountsGapsAndDoubles) {
    // Beat 2 missing, beat 4 sounding twice.
    const std::vector<std::int64_t> onsets{100, 7300, 21700, 28900, 29000, 36100};
    const BeatMatch match = MatchBeats(onsets, 7200.0);
    EXPECT_EQ(match.beats, (std::vector<std::int64_t>{0, 1, 3, 4, 4, 5}));
    EXPECT_EQ(match.missing, 1U);
    EXPECT_EQ(match.extra, 1U);
}

TEST(Onsets, FitsAStraightGrid) {
    // 44.1 kHz at 451 ms: beats at round(k x 19889.1) lie within half a frame of the line.
    std::vector<std::int64_t> onsets;
    std::vector<std::int64_t> beats;
    for (std::int64_t k = 0; k < 200; ++k) {
        onsets.push_back(1000 + std::llround(static_cast<double>(k) * 19889.1));
        beats.push_back(k);
    }
    const GridFit fit = FitGrid(onsets, beats);
    EXPECT_NEAR(fit.period, 19889.1, 1e-3);
    EXPECT_NEAR(fit.origin, 1000.0, 0.1);
    EXPECT_LT(fit.residualMax, 0.6);
    EXPECT_GT(fit.residualStd, 0.1);
    const GridFit nominal = FitGridWithPeriod(onsets, beats, 19889.1);
    EXPECT_LE(nominal.residualMax, 0.5);
    EXPECT_GT(nominal.residualMax, 0.45);

    onsets[50] += 3;
    EXPECT_NEAR(FitGrid(onsets, beats).residualMax, 3.0, 0.05);
    const auto histogram = IntervalHistogram({0, 7200, 14400, 21601});
    EXPECT_EQ(histogram, (std::map<std::int64_t, std::size_t>{{7200, 2}, {7201, 1}}));
}

} // namespace
} // namespace metro::testsupport
