#include "ipc/url_encode.h"

#include <gtest/gtest.h>

namespace {

// The worked examples: separators and blanks, and the characters that other
// encoders keep (~) or turn into a blank (+).
TEST(UrlEncode, EncodesSeparatorsAndSpecials) {
  EXPECT_EQ(UrlEncode("a/b c:d"), "a%2Fb%20c%3Ad");
  EXPECT_EQ(UrlEncode("~+%"), "%7E%2B%25");
  EXPECT_EQ(UrlEncode("http://h.example/f?x=1&y=2#z"),
            "http%3A%2F%2Fh.example%2Ff%3Fx%3D1%26y%3D2%23z");
  EXPECT_EQ(UrlEncode(""), "");
}

// Exactly the 71 listed bytes pass unchanged; every other byte becomes %XX in
// upper case, the high half included.
TEST(UrlEncode, KeepsExactlyTheListedBytes) {
  const std::string kept =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$()*,-._";
  ASSERT_EQ(kept.size(), 71u);
  int unchanged = 0;
  for (int b = 1; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    const std::string out = UrlEncode(in);
    if (kept.find(static_cast<char>(b)) != std::string::npos) {
      EXPECT_EQ(out, in) << b;
      ++unchanged;
    } else {
      char expected[4];
      snprintf(expected, sizeof(expected), "%%%02X", b);
      EXPECT_EQ(out, expected) << b;
    }
  }
  EXPECT_EQ(unchanged, 71);
}

// A NUL byte ends the text, as it would end a C string.
TEST(UrlEncode, StopsAtNul) {
  EXPECT_EQ(UrlEncode(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(UrlEncode(std::string("\0", 1)), "");
}

}  // namespace
