#include "catalogue/modify_time.h"

#include <gtest/gtest.h>

namespace {

// The stored text is zero-padded, fixed-width and never longer than 14 digits.
TEST(ModifyTime, FormatsFourteenDigits) {
  EXPECT_EQ(FormatTimeDigits(2009, 1, 2, 3, 4, 5), "20090102030405");
  EXPECT_EQ(FormatTimeDigits(1999, 12, 31, 23, 59, 59), "19991231235959");
  EXPECT_EQ(FormatTimeDigits(30827, 12, 31, 23, 59, 59), "30827123123595");
}

// The three worked examples of the 30-day rule, and the day on each side.
TEST(ModifyTime, AgeCountsThirtyDayMonths) {
  int age = 0;
  ASSERT_TRUE(CatalogueAgeInDays("20090101000000", {2009, 2, 1}, &age));
  EXPECT_EQ(age, 30);
  EXPECT_FALSE(IsOlderThan30DaysOn("20090101000000", {2009, 2, 1}));
  EXPECT_TRUE(IsOlderThan30DaysOn("20090101000000", {2009, 2, 2}));
  ASSERT_TRUE(CatalogueAgeInDays("20090131235959", {2009, 3, 2}, &age));
  EXPECT_EQ(age, 31);
  EXPECT_TRUE(IsOlderThan30DaysOn("20090131235959", {2009, 3, 2}));
}

// Years and months carry across the year's end; the time of day is ignored.
TEST(ModifyTime, AgeAcrossYearsAndTimeOfDay) {
  int age = 0;
  ASSERT_TRUE(CatalogueAgeInDays("20081215235959", {2009, 1, 14}, &age));
  EXPECT_EQ(age, 29);
  EXPECT_FALSE(IsOlderThan30DaysOn("20081215235959", {2009, 1, 14}));
  EXPECT_TRUE(IsOlderThan30DaysOn("20081215000000", {2009, 1, 16}));
  EXPECT_TRUE(IsOlderThan30DaysOn("19990101000000", {2024, 6, 1}));
}

// A time in the future has a negative age and is kept.
TEST(ModifyTime, FutureTimesAreKept) {
  int age = 0;
  ASSERT_TRUE(CatalogueAgeInDays("20300101000000", {2024, 1, 1}, &age));
  EXPECT_LT(age, 0);
  EXPECT_FALSE(IsOlderThan30DaysOn("20300101000000", {2024, 1, 1}));
}

// Texts without a readable date have no age and count as old, without failing.
TEST(ModifyTime, TextsWithoutADateCountAsOld) {
  int age = 12345;
  for (const char* text : {"", "2009010", "abcdefgh", "2009xx01000000", "2009-1-1000000"}) {
    EXPECT_FALSE(CatalogueAgeInDays(text, {2009, 1, 1}, &age)) << text;
    EXPECT_TRUE(IsOlderThan30DaysOn(text, {2009, 1, 1})) << text;
  }
  EXPECT_EQ(age, 12345);
  // Eight digits are a date; the time part is not needed.
  EXPECT_FALSE(IsOlderThan30DaysOn("20090101", {2009, 1, 2}));
}

}  // namespace
