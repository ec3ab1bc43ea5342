#include "metro/core/TempoRule.h"

#include <gtest/gtest.h>

using metro::core::isPlayableTempo;
using metro::core::PeriodFromTempo;

// 60000 / tempo ms rounded to nearest, exact halves to the even neighbour; Start plays 1..400.
TEST(TempoRule, GivesPeriodsRoundedToNearestWithHalvesToEven) {
    struct Row {
        const char* text;
        std::int32_t period;
        bool playable;
    };
    for (const Row& row : {Row{"120", 500, true}, Row{"0120", 500, true}, Row{"1", 60000, true},
                           Row{"7", 8571, true}, Row{"133", 451, true}, Row{"400", 150, true},
                           Row{"192", 312, true}, Row{"64", 938, true}, Row{"320", 188, true},
                           Row{"401", 150, false}, Row{"60000", 1, false}}) {
        EXPECT_EQ(PeriodFromTempo(row.text), row.period) << row.text;
        EXPECT_EQ(isPlayableTempo(row.text), row.playable) << row.text;
    }
}

TEST(TempoRule, UnusableTextGivesNoPeriodAndDoesNotPlay) {
    for (const char* text : {"", "0", "000", "-5", "12a", " 120", "120 ", "1.5", "+60", "1e2",
                             "99999999999999999999999", "120001"}) {
        EXPECT_FALSE(PeriodFromTempo(text).has_value()) << '"' << text << '"';
        EXPECT_FALSE(isPlayableTempo(text)) << '"' << text << '"';
    }
}
