#include "httpserver/percent_decode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Escapes of either case decode to their byte, the first digit the high nibble.
TEST(PercentDecode, DecodesHexEscapes) {
  EXPECT_EQ(PercentDecode("%41%4a%4A"), "AJJ");
  EXPECT_EQ(PercentDecode("a%20b"), "a b");
  EXPECT_EQ(PercentDecode("%ff%00x"), std::string("\xff\0x", 3));
  EXPECT_EQ(PercentDecode("%2541"), "%41");  // decoded once, not twice
}

// A "%" without two hex digits stays, and scanning resumes right after it.
TEST(PercentDecode, KeepsBrokenEscapes) {
  EXPECT_EQ(PercentDecode("%"), "%");
  EXPECT_EQ(PercentDecode("100%"), "100%");
  EXPECT_EQ(PercentDecode("%4"), "%4");
  EXPECT_EQ(PercentDecode("%4g"), "%4g");
  EXPECT_EQ(PercentDecode("%g4"), "%g4");
  EXPECT_EQ(PercentDecode("%%41"), "%A");
  EXPECT_EQ(PercentDecode("%x%41"), "%xA");
}

TEST(PercentDecode, PlusAndOtherBytesAreCopied) {
  EXPECT_EQ(PercentDecode("a+b=c&d"), "a+b=c&d");
  EXPECT_EQ(PercentDecode(""), "");
  EXPECT_EQ(PercentDecode("\x80\xfe"), "\x80\xfe");
}

}  // namespace
