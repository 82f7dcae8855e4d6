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

// The kind of peer the calling connection thread serves, set once when the
// connection starts. A handler called on another thread sees an internet peer,
// the kind with every rule.
void SetThreadPeerIsLan(bool lan);
bool ThreadPeerIsLan();
// The calling connection's peer address (host byte order), set with its kind.
void SetThreadPeerAddress(uint32_t address);
uint32_t ThreadPeerAddress();

// The internet peer an answer went to last, and when (milliseconds on any
// clock that never goes back): the delay control probes toward it, and only
// while internet peers are being served.
void NoteInternetPeerServed(uint32_t address, uint64_t now_ms);
uint32_t LastInternetPeerServed(uint64_t* at_ms);
