// The transport's rules: the period a tempo text gives and the tempos Start plays, the beats of
// a bar and their lamps; and a beat timer that cannot be armed.
#include "metro/core/Transport.h"

#include "metro/core/BeatTick.h"
#include "metro/core/TempoRule.h"

#include "Fakes.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

using namespace metro::core;
using metro::testsupport::FakeView;
using metro::testsupport::ManualTimer;

namespace {

// 60000 / tempo ms rounded to nearest, exact halves to the even neighbour; Start plays 1..400.
// Text that is not a plain number of 1 or more gives no period and does not play.
TEST(TempoRule, GivesPeriodsRoundedToNearestWithHalvesToEven) {
    using Row = std::tuple<const char*, std::int32_t, bool>;
    for (const auto& [text, period, playable] :
         {Row{"120", 500, true}, Row{"0120", 500, true}, Row{"1", 60000, true},
          Row{"7", 8571, true}, Row{"133", 451, true}, Row{"400", 150, true}, Row{"192", 312, true},
          Row{"64", 938, true}, Row{"320", 188, true}, Row{"401", 150, false},
          Row{"60000", 1, false}}) {
        EXPECT_EQ(PeriodFromTempo(text), period) << text;
        EXPECT_EQ(isPlayableTempo(text), playable) << text;
    }
    for (const char* text : {"", "0", "000", "-5", "12a", " 120", "120 ", "1.5", "+60", "1e2",
                             "99999999999999999999999", "120001"}) {
        EXPECT_FALSE(PeriodFromTempo(text).has_value()) << '"' << text << '"';
        EXPECT_FALSE(isPlayableTempo(text)) << '"' << text << '"';
    }
}

// Beats from beat 1 play their slots and light their lamp alone, wrapping after beat 4 (4/4) or
// beat 3 (3/4); a switch to 3/4 at beat 4 plays beat 4 once and wraps.
TEST(BeatTick, WrapsAfterBeatFourOrBeatThree) {
    for (const auto& [fourFour, first, slots] :
         {std::tuple{true, 1, "123412341"}, std::tuple{false, 1, "1231231"},
          std::tuple{false, 4, "4123"}}) {
        MetronomeState state{.CurrentBeat = first, .FourFour = fourFour};
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

// Plays and shows nothing: what the beats do is the window test's (lamps in step, the restart
// at beat 1 under a run of its own) over this same transport.
struct Silent final : BeatPlayer, BeatDisplay {
    void play(const BeatCue&) noexcept override {}
    void showBeat(std::uint64_t, const std::array<bool, kBeatCount>&, TimePoint) noexcept override {
    }
};

TEST(TransportTest, TimerThatCannotBeArmedLeavesTheWindowStopped) {
    ManualTimer timer;
    Silent beats;
    FakeView view;
    Transport transport{timer, beats, beats};
    transport.attachView(view);
    transport.setReady(true);
    timer.failNext = true;
    transport.start();
    EXPECT_FALSE(transport.state().IsRunning);
    EXPECT_EQ(view.changes, 0) << "the controls stay as they were";
    EXPECT_EQ(view.errors.size(), 1U);
    timer.failNext = false;
    transport.start();
    EXPECT_TRUE(transport.state().IsRunning);
}

} // namespace
