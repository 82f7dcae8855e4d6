#include "identity/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

MD5Context Fresh() {
  MD5Context context;
  std::memset(&context, 0, sizeof(context));
  MD5Init(&context);
  return context;
}

std::string FinalHex(MD5Context& context) {
  MD5Final(&context, context.digest);
  std::string out;
  for (uint8_t b : context.digest) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}

std::string Md5Hex(const std::string& message) {
  MD5Context context = Fresh();
  MD5Update(&context, Bytes(message), static_cast<uint32_t>(message.size()));
  return FinalHex(context);
}

// The test suite of RFC 1321, appendix A.5.
TEST(Md5, RfcTestSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex(std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" +
                   "1234567890" + "1234567890" + "1234567890" + "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// 55 bytes pad within one block and 56 need a second; 64 and 120 fill the
// buffer before and inside the padding. References from an independent MD5.
TEST(Md5, PaddingBoundaries) {
  EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(Md5Hex(std::string(120, 'a')), "5f61c0ccad4cac44c75ff505e1f1e537");
}

// Any split of the message into updates, empty ones included, gives the same digest.
TEST(Md5, SplitUpdatesMatchOneCall) {
  std::string message;
  for (int i = 0; i < 150; ++i) message += static_cast<char>(i * 7 + 3);
  const std::string whole = Md5Hex(message);
  for (size_t first = 0; first <= message.size(); ++first) {
    for (size_t second = first; second <= message.size(); second += 13) {
      MD5Context context = Fresh();
      MD5Update(&context, Bytes(message), static_cast<uint32_t>(first));
      MD5Update(&context, Bytes(message) + first, 0);
      MD5Update(&context, Bytes(message) + first, static_cast<uint32_t>(second - first));
      MD5Update(&context, Bytes(message) + second, static_cast<uint32_t>(message.size() - second));
      ASSERT_EQ(FinalHex(context), whole) << "split at " << first << ", " << second;
    }
  }
}

// An empty update changes no field; the bit count carries into its high word.
TEST(Md5, CountBookkeeping) {
  MD5Context context = Fresh();
  MD5Update(&context, Bytes("partial"), 7);
  MD5Context before;
  std::memcpy(&before, &context, sizeof(context));
  MD5Update(&context, nullptr, 0);
  EXPECT_EQ(std::memcmp(&before, &context, sizeof(context)), 0);

  context.count[0] = 0xFFFFFFF8u;
  MD5Update(&context, Bytes("x"), 1);
  EXPECT_EQ(context.count[0], 0u);
  EXPECT_EQ(context.count[1], 1u);
}

}  // namespace
