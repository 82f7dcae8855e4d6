#include "ipc/http_answer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool Parse(const char* text, uint32_t* value) {
  return ParseContentLength(text, std::strlen(text), value);
}

// Plain decimal numbers up to 1 MiB are taken, leading zeros included.
TEST(HttpAnswer, ContentLengthTakesPlainNumbers) {
  uint32_t value = 0;
  EXPECT_TRUE(Parse("0", &value));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(Parse("8", &value));
  EXPECT_EQ(value, 8u);
  EXPECT_TRUE(Parse("1048576", &value));
  EXPECT_EQ(value, 1048576u);
  EXPECT_TRUE(Parse("0000000000000000000000000000012", &value));
  EXPECT_EQ(value, 12u);
}

// Signs, blanks, other digits, empty text and sizes past 1 MiB go to the block
// reader; the output is left alone.
TEST(HttpAnswer, ContentLengthRefusesEverythingElse) {
  uint32_t value = 77;
  for (const char* text : {"", "-1", "+5", " 5", "5 ", "0x10", "1e3", "1048577",
                           "4294967296", "99999999999999999999999", "12a"}) {
    EXPECT_FALSE(Parse(text, &value)) << text;
  }
  EXPECT_EQ(value, 77u);
  // The given length bounds the text even without a NUL; a NUL ends it early.
  EXPECT_TRUE(ParseContentLength("123456", 3, &value));
  EXPECT_EQ(value, 123u);
  EXPECT_TRUE(ParseContentLength("12\0" "34", 5, &value));
  EXPECT_EQ(value, 12u);
}

// Known statuses outside 2xx fail; an unreadable status counts as success.
TEST(HttpAnswer, StatusRule) {
  EXPECT_TRUE(IsAcceptedStatus(true, 200));
  EXPECT_TRUE(IsAcceptedStatus(true, 206));
  EXPECT_TRUE(IsAcceptedStatus(true, 299));
  EXPECT_FALSE(IsAcceptedStatus(true, 199));
  EXPECT_FALSE(IsAcceptedStatus(true, 300));
  EXPECT_FALSE(IsAcceptedStatus(true, 404));
  EXPECT_FALSE(IsAcceptedStatus(true, 0));
  EXPECT_TRUE(IsAcceptedStatus(false, 0));
}

}  // namespace
