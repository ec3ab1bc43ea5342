#include "metro/core/BeatTick.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

using metro::core::BeatTick;
using metro::core::MetronomeState;
using metro::core::TimePoint;

// Beats from beat 1 play their slots and light their lamp alone, wrapping after beat 4 (4/4) or
// beat 3 (3/4); a switch to 3/4 at beat 4 plays beat 4 once and wraps.
TEST(BeatTick, WrapsAfterBeatFourOrBeatThree) {
    for (const auto& [fourFour, first, slots] :
         {std::tuple{true, 1, "123412341"}, std::tuple{false, 1, "1231231"},
          std::tuple{false, 4, "4123"}}) {
        MetronomeState state;
        state.FourFour = fourFour;
        state.CurrentBeat = first;
        std::string played;
        for (std::size_t i = 0; i < std::string_view(slots).size(); ++i) {
            const TimePoint when{std::chrono::milliseconds(500 * i)};
            const auto outcome = BeatTick(state, when);
            std::array<bool, 4> lamps{};
            lamps.at(static_cast<std::size_t>(outcome.slot - 1)) = true;
            EXPECT_EQ(outcome.lamps, lamps);
            EXPECT_EQ(outcome.scheduled, when);
            played += std::to_string(outcome.slot);
        }
        EXPECT_EQ(played, slots);
    }
}
