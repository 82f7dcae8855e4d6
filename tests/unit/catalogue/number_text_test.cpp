#include "catalogue/number_text.h"

#include <gtest/gtest.h>

namespace {

TEST(NumberText, StringToIntReadsLikeStreamExtraction) {
  EXPECT_EQ(StringToInt("100"), 100);
  EXPECT_EQ(StringToInt("  42abc"), 42);
  EXPECT_EQ(StringToInt("-500"), -500);
  EXPECT_EQ(StringToInt("+7"), 7);
  EXPECT_EQ(StringToInt(""), -1);
  EXPECT_EQ(StringToInt("abc"), -1);
  EXPECT_EQ(StringToInt("-"), -1);
  EXPECT_EQ(StringToInt("2147483647"), 2147483647);
  EXPECT_EQ(StringToInt("99999999999"), -1);
}

TEST(NumberText, IntToStringHasNoPadding) {
  EXPECT_EQ(IntToString(0), "0");
  EXPECT_EQ(IntToString(-12), "-12");
  EXPECT_EQ(IntToString(2147483647), "2147483647");
  EXPECT_EQ(Int64ToString(4294967297LL), "4294967297");
}

}  // namespace
