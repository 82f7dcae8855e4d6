#include "uploadpolicy/peer_class.h"

uint8_t PrefixLengthOfMask(uint32_t mask) {
  uint8_t length = 0;
  while (length < 32 && (mask & (0x80000000u >> length))) ++length;
  const uint32_t contiguous = length == 0 ? 0 : 0xFFFFFFFFu << (32 - length);
  return mask == contiguous ? length : 0;
}

bool IsLanAddress(uint32_t address, const std::vector<OnLinkPrefix>& prefixes) {
  if (IsLoopbackAddress(address)) return true;
  for (const OnLinkPrefix& prefix : prefixes) {
    if (prefix.length == 0 || prefix.length > 32) continue;
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
