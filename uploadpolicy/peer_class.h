// Which peers spend the player's uplink. A LAN peer is loopback, or has a
// private or link-local address on an on-link prefix of an adapter that is up
// and is the player's own network (no PPP, tunnel or mobile broadband); every
// other address is an internet peer, private ones reached through a router
// included. Portable: the Win32 side (lan_adapters.h) reads the prefixes.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// What the adapter of a prefix is, as far as the LAN test cares: only a local
// link that is up carries LAN peers. A dial-up, tunnel or mobile-broadband link
// reaches the carrier's network, whatever its prefix says.
enum class AdapterLink { kLocal, kCarrier, kDown };

// From IP_ADAPTER_ADDRESSES: IfType (an IANA ifType) and whether OperStatus is up.
AdapterLink LinkOfAdapter(uint32_t if_type, bool up);

// An adapter's on-link prefix; address in host byte order.
struct OnLinkPrefix {
  uint32_t address = 0;
  uint8_t length = 0;
  AdapterLink link = AdapterLink::kLocal;
};

// 10/8, 172.16/12, 192.168/16 and link-local 169.254/16 (host byte order).
bool IsPrivateOrLinkLocal(uint32_t address);

// True for an IPv4 address in 127.0.0.0/8, given in host byte order.
inline bool IsLoopbackAddress(uint32_t address) { return (address >> 24) == 127; }

// `address` in host byte order. Prefixes shorter than /8 (a provider's block or
// a default route is no home network) or above 32 count for nothing.
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

// The internet peer an answer went to last, and when (milliseconds on the
// throttle's steady clock): the delay control probes toward it, and only while
// internet peers are being served.
void NoteInternetPeerServed(uint32_t address, uint64_t now_ms);
uint32_t LastInternetPeerServed(uint64_t* at_ms);
