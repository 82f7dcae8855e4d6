#include "identity/user_id.h"

#include <gtest/gtest.h>

namespace {

// Each little-endian word is printed as a number, so bytes within a word reverse.
TEST(UserId, WordsArePrintedLittleEndian) {
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(FormatUserId(bytes), "03020100070605040B0A09080F0E0D0C");

  uint8_t digest[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(FormatUserId(digest).substr(0, 16), "67452301EFCDAB89");
}

TEST(UserId, ZeroFingerprintGivesThirtyTwoZeros) {
  uint8_t zeros[16] = {};
  EXPECT_EQ(FormatUserId(zeros), std::string(32, '0'));
}

}  // namespace
