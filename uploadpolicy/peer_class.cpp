#include "uploadpolicy/peer_class.h"

AdapterLink LinkOfAdapter(uint32_t if_type, bool up) {
  // IANA ifType: ppp, tunnel, wwanPP, wwanPP2.
  constexpr uint32_t kPpp = 23, kTunnel = 131, kWwan = 243, kWwan2 = 244;
  if (!up) return AdapterLink::kDown;
  const bool carrier = if_type == kPpp || if_type == kTunnel || if_type == kWwan ||
                       if_type == kWwan2;
  return carrier ? AdapterLink::kCarrier : AdapterLink::kLocal;
}

bool IsPrivateOrLinkLocal(uint32_t address) {
  return (address >> 24) == 10 || (address >> 20) == 0xAC1 || (address >> 16) == 0xC0A8 ||
         (address >> 16) == 0xA9FE;
}

bool IsLanAddress(uint32_t address, const std::vector<OnLinkPrefix>& prefixes) {
  if (IsLoopbackAddress(address)) return true;
  // A public address is the internet even on a link of ours: a cable modem's
  // prefix is the provider's, not the player's.
  if (!IsPrivateOrLinkLocal(address)) return false;
  for (const OnLinkPrefix& prefix : prefixes) {
    if (prefix.link != AdapterLink::kLocal || prefix.length < 8 || prefix.length > 32) continue;
    const uint32_t mask = 0xFFFFFFFFu << (32 - prefix.length);
    if ((address & mask) == (prefix.address & mask)) return true;
  }
  return false;
}

LanPrefixes& LanPrefixes::Shared() {
  static LanPrefixes prefixes;
  return prefixes;
}

void LanPrefixes::Set(const std::vector<OnLinkPrefix>& prefixes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_prefixes = prefixes;
}

bool LanPrefixes::IsLan(uint32_t address) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return IsLanAddress(address, m_prefixes);
}

namespace {
std::mutex g_servedMutex;
uint32_t g_servedPeer = 0;
uint64_t g_servedAtMs = 0;
}  // namespace

void NoteInternetPeerServed(uint32_t address, uint64_t now_ms) {
  std::lock_guard<std::mutex> lock(g_servedMutex);
  g_servedPeer = address;
  g_servedAtMs = now_ms;
}

uint32_t LastInternetPeerServed(uint64_t* at_ms) {
  std::lock_guard<std::mutex> lock(g_servedMutex);
  *at_ms = g_servedAtMs;
  return g_servedPeer;
}
