// Which peers spend the player's uplink. A LAN peer's address lies in an
// on-link prefix of one of this machine's adapters, or is loopback; every other
// address is an internet peer, private ones reached through a router included.
// Portable: the Win32 side (lan_adapters.h) reads the prefixes.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// An adapter's on-link prefix; address in host byte order.
struct OnLinkPrefix {
  uint32_t address = 0;
  uint8_t length = 0;
};

// The length of a netmask (host byte order) whose ones are contiguous; 0 for
// one with holes, which names no prefix.
uint8_t PrefixLengthOfMask(uint32_t mask);

// True for an IPv4 address in 127.0.0.0/8, given in host byte order.
inline bool IsLoopbackAddress(uint32_t address) { return (address >> 24) == 127; }

// `address` in host byte order. Prefixes of length 0 (a default route is no
// link) or above 32 are ignored.
bool IsLanAddress(uint32_t address, const std::vector<OnLinkPrefix>& prefixes);

// The prefixes of this machine now, read again when the adapters change.
class LanPrefixes {
 public:
  static LanPrefixes& Shared();
  void Set(const std::vector<OnLinkPrefix>& prefixes);
  bool IsLan(uint32_t address) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<OnLinkPrefix> m_prefixes;
};
