#include "metro/core/BeatTick.h"

#include <gtest/gtest.h>

#include <vector>

using metro::core::BeatTick;
using metro::core::MetronomeState;
using metro::core::TimePoint;

namespace {
std::vector<int> slotsPlayed(bool fourFour, int ticks) {
    MetronomeState state;
    state.FourFour = fourFour;
    state.CurrentBeat = 1;
    std::vector<int> slots;
    for (int i = 0; i < ticks; ++i) {
        const auto outcome = BeatTick(state, TimePoint{});
        int lit = 0;
        for (std::size_t lamp = 0; lamp < outcome.lamps.size(); ++lamp) {
            if (outcome.lamps[lamp]) {
                ++lit;
                EXPECT_EQ(static_cast<int>(lamp) + 1, outcome.slot)
                    << "lit lamp is the played beat";
            }
        }
        EXPECT_EQ(lit, 1) << "exactly one lamp lit";
        slots.push_back(outcome.slot);
    }
    return slots;
}
} // namespace

TEST(BeatTick, FourFourWrapsAfterBeatFour) {
    EXPECT_EQ(slotsPlayed(true, 9), (std::vector<int>{1, 2, 3, 4, 1, 2, 3, 4, 1}));
}

TEST(BeatTick, ThreeFourWrapsAfterBeatThreeAndNeverLightsLampFour) {
    EXPECT_EQ(slotsPlayed(false, 7), (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
}

TEST(BeatTick, SwitchingToThreeFourAtBeatFourWrapsAtOnce) {
    MetronomeState state;
    state.FourFour = false;
    state.CurrentBeat = 4; // left over from a 4/4 bar
    const auto outcome = BeatTick(state, TimePoint{});
    EXPECT_EQ(outcome.slot, 4);
    EXPECT_EQ(state.CurrentBeat, 1);
}

TEST(BeatTick, CarriesTheScheduledTime) {
    MetronomeState state;
    state.CurrentBeat = 1;
    const TimePoint when{std::chrono::milliseconds(1234)};
    EXPECT_EQ(BeatTick(state, when).scheduled, when);
}
