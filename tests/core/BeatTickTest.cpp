#include "metro/core/BeatTick.h"

#include <gtest/gtest.h>

#include <vector>

using metro::core::BeatTick;
using metro::core::MetronomeState;
using metro::core::TimePoint;

namespace {
// Runs `ticks` beats from beat 1 and returns the slots played, checking on the way that
// exactly one lamp is lit and that it is the played beat's.
std::vector<int> slotsPlayed(bool fourFour, int ticks) {
    MetronomeState state;
    state.FourFour = fourFour;
    state.CurrentBeat = 1;
    std::vector<int> slots;
    for (int i = 0; i < ticks; ++i) {
        const TimePoint when{std::chrono::milliseconds(500 * i)};
        const auto outcome = BeatTick(state, when);
        std::array<bool, 4> expected{};
        expected.at(static_cast<std::size_t>(outcome.slot - 1)) = true;
        EXPECT_EQ(outcome.lamps, expected);
        EXPECT_EQ(outcome.scheduled, when);
        slots.push_back(outcome.slot);
    }
    return slots;
}
} // namespace

TEST(BeatTick, WrapsAfterBeatFourOrBeatThree) {
    EXPECT_EQ(slotsPlayed(true, 9), (std::vector<int>{1, 2, 3, 4, 1, 2, 3, 4, 1}));
    EXPECT_EQ(slotsPlayed(false, 7), (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
}

TEST(BeatTick, SwitchingToThreeFourAtBeatFourWrapsAtOnce) {
    MetronomeState state;
    state.CurrentBeat = 4; // left over from a 4/4 bar
    EXPECT_EQ(BeatTick(state, TimePoint{}).slot, 4);
    EXPECT_EQ(state.CurrentBeat, 1);
}
