#include "metro/core/TempoRule.h"

#include <gtest/gtest.h>

using metro::core::isPlayableTempo;
using metro::core::PeriodFromTempo;

TEST(TempoRule, GivesPeriodsRoundedToNearest) {
    EXPECT_EQ(PeriodFromTempo("120"), 500);
    EXPECT_EQ(PeriodFromTempo("60"), 1000);
    EXPECT_EQ(PeriodFromTempo("400"), 150);
    EXPECT_EQ(PeriodFromTempo("7"), 8571);
    EXPECT_EQ(PeriodFromTempo("1"), 60000);
    EXPECT_EQ(PeriodFromTempo("133"), 451);
    EXPECT_EQ(PeriodFromTempo("0120"), 500);
}

TEST(TempoRule, ExactHalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(PeriodFromTempo("192"), 312); // 312.5
    EXPECT_EQ(PeriodFromTempo("64"), 938);  // 937.5
    EXPECT_EQ(PeriodFromTempo("320"), 188); // 187.5
    EXPECT_EQ(PeriodFromTempo("96"), 625);  // exact
}

TEST(TempoRule, UnusableTextGivesNoPeriod) {
    for (const char* text : {"", "0", "000", "-5", "12a", " 120", "120 ", "1.5", "+60", "1e2",
                             "99999999999999999999999", "120001"}) {
        EXPECT_FALSE(PeriodFromTempo(text).has_value()) << '"' << text << '"';
    }
}

TEST(TempoRule, StartPlaysOnlyOneToFourHundred) {
    EXPECT_TRUE(isPlayableTempo("1"));
    EXPECT_TRUE(isPlayableTempo("400"));
    EXPECT_TRUE(isPlayableTempo("0400"));
    EXPECT_FALSE(isPlayableTempo("401"));
    EXPECT_FALSE(isPlayableTempo("0"));
    EXPECT_FALSE(isPlayableTempo(""));
    EXPECT_FALSE(isPlayableTempo("-120"));
    EXPECT_FALSE(isPlayableTempo("99999999999999999999999"));
}
