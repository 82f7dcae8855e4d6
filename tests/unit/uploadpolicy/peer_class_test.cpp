#include "uploadpolicy/peer_class.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

// Only an Ethernet or Wi-Fi link that is up is the player's own network.
TEST(PeerClass, AdapterTable) {
  const struct {
    uint32_t if_type;
    bool up;
    AdapterLink link;
  } rows[] = {
      {6, true, AdapterLink::kLocal},     {71, true, AdapterLink::kLocal},
      {24, true, AdapterLink::kLocal},    {6, false, AdapterLink::kDown},
      {23, true, AdapterLink::kCarrier},  {131, true, AdapterLink::kCarrier},
      {243, true, AdapterLink::kCarrier}, {244, true, AdapterLink::kCarrier},
      {243, false, AdapterLink::kDown},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(LinkOfAdapter(row.if_type, row.up), row.link) << row.if_type << " " << row.up;
  }
}

// LAN: loopback, or a private or link-local address on a local link's prefix of
// /8 or longer. A public address on a link of ours (a cable modem's provider
// prefix), a wide or carrier prefix, a link that is down, a carrier-NAT address
// behind a router, a default route: the internet.
TEST(PeerClass, AddressTable) {
  const auto local = AdapterLink::kLocal;
  const std::vector<OnLinkPrefix> prefixes = {
      {Ip(192, 168, 1, 20), 24, local},
      {Ip(10, 250, 7, 2), 30, local},
      {Ip(0, 0, 0, 0), 0, local},
      {Ip(9, 9, 9, 9), 40, local},
      {Ip(84, 20, 1, 7), 16, local},                       // public, on the modem's link
      {Ip(172, 16, 0, 1), 7, local},                       // too wide to be a home
      {Ip(169, 254, 3, 1), 16, local},                     // link-local
      {Ip(10, 0, 0, 1), 8, local},                         // a private VPN's /8
      {Ip(192, 168, 50, 1), 24, AdapterLink::kCarrier},   // mobile broadband
      {Ip(192, 168, 60, 1), 24, AdapterLink::kDown},
  };
  const struct {
    uint32_t address;
    bool lan;
  } rows[] = {
      {Ip(192, 168, 1, 1), true},    {Ip(192, 168, 1, 255), true}, {Ip(192, 168, 2, 1), false},
      {Ip(10, 250, 7, 1), true},     {Ip(10, 9, 9, 9), true},      {Ip(127, 0, 0, 1), true},
      {Ip(127, 9, 8, 7), true},      {Ip(100, 64, 3, 2), false},   {Ip(172, 16, 0, 5), false},
      {Ip(9, 9, 9, 9), false},       {Ip(8, 8, 8, 8), false},      {Ip(84, 20, 200, 9), false},
      {Ip(169, 254, 9, 9), true},    {Ip(192, 168, 50, 2), false}, {Ip(192, 168, 60, 2), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsLanAddress(row.address, prefixes), row.lan) << std::hex << row.address;
  }
  EXPECT_FALSE(IsLanAddress(Ip(192, 168, 1, 1), {}));
}

}  // namespace
