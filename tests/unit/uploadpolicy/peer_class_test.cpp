#include "uploadpolicy/peer_class.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(PeerClass, MaskLengths) {
  EXPECT_EQ(PrefixLengthOfMask(0xFFFFFF00u), 24);
  EXPECT_EQ(PrefixLengthOfMask(0xFFFFFFFFu), 32);
  EXPECT_EQ(PrefixLengthOfMask(0xFFFFFFFCu), 30);
  EXPECT_EQ(PrefixLengthOfMask(0), 0);
  EXPECT_EQ(PrefixLengthOfMask(0xFF00FF00u), 0);  // holes name no prefix
}

// On one adapter's link is LAN; loopback always; a private or carrier-NAT
// address behind a router is not; a default route is no link.
TEST(PeerClass, AddressTable) {
  const std::vector<OnLinkPrefix> prefixes = {
      {Ip(192, 168, 1, 20), 24}, {Ip(10, 250, 7, 2), 30}, {Ip(0, 0, 0, 0), 0},
      {Ip(9, 9, 9, 9), 40}};
  const struct {
    uint32_t address;
    bool lan;
  } rows[] = {
      {Ip(192, 168, 1, 1), true},   {Ip(192, 168, 1, 255), true}, {Ip(192, 168, 2, 1), false},
      {Ip(10, 250, 7, 1), true},    {Ip(10, 250, 7, 4), false},   {Ip(127, 0, 0, 1), true},
      {Ip(127, 9, 8, 7), true},     {Ip(100, 64, 3, 2), false},   {Ip(172, 16, 0, 5), false},
      {Ip(9, 9, 9, 9), false},      {Ip(8, 8, 8, 8), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsLanAddress(row.address, prefixes), row.lan) << row.address;
  }
  EXPECT_FALSE(IsLanAddress(Ip(192, 168, 1, 1), {}));
}

}  // namespace
