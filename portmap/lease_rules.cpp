#include "portmap/lease_rules.h"

#include <algorithm>

#include "runtime/host_setting.h"

namespace {

constexpr uint64_t kMinRenewalMs = 5 * 1000;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<uint32_t> RetransmitWaitsMs(LeaseProtocol protocol, uint32_t random) {
  std::vector<uint32_t> waits;
  uint64_t total = 0;
  uint64_t wait = protocol == LeaseProtocol::kPcp ? 3000 : 250;
  for (int i = 0; total < kLeaseExchangeMs; ++i) {
    if (protocol == LeaseProtocol::kPcp) {
      // RAND in [-0.1, +0.1], drawn afresh per send from a byte of `random`.
      const int byte = static_cast<int>(random >> (8 * (i % 4)) & 0xff);
      const int permille = (byte * 200) / 255 - 100;
      wait = i == 0 ? 3000 * (1000 + permille) / 1000 : wait * (2000 + permille) / 1000;
    } else if (i > 0) {
      wait *= 2;
    }
    const uint64_t step = std::min<uint64_t>(wait, kLeaseExchangeMs - total);
    waits.push_back(static_cast<uint32_t>(step));
    total += step;
  }
  return waits;
}

uint64_t RenewalAtMs(uint64_t now_ms, uint64_t lease_ends_ms) {
  const uint64_t left = lease_ends_ms > now_ms ? lease_ends_ms - now_ms : 0;
  return now_ms + std::max<uint64_t>(left / 2, kMinRenewalMs);
}

uint32_t SleepMs(uint64_t now_ms, bool leased, uint64_t renewal_at_ms, uint32_t look_ms) {
  if (!leased) return look_ms;
  const uint64_t due = renewal_at_ms > now_ms ? renewal_at_ms - now_ms : 0;
  return static_cast<uint32_t>(
      std::max<uint64_t>(std::min<uint64_t>(due, look_ms), std::min(kMinLeaseSleepMs, look_ms)));
}

const char* LeaseProtocolName(LeaseProtocol protocol) {
  return protocol == LeaseProtocol::kPcp ? "pcp" : "nat-pmp";
}

MappingRecord ToMappingRecord(const LeaseRecord& r) {
  MappingRecord m;
  m.method = r.protocol == LeaseProtocol::kPcp ? kMethodPcp : kMethodNatPmp;
  m.protocol = "TCP";
  m.port = r.internal_port;
  m.address = Ipv4Text(r.address);
  if (r.protocol == LeaseProtocol::kPcp) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : r.nonce) {
      hex += digits[b >> 4];
      hex += digits[b & 15];
    }
    m.extra.push_back(hex);
  }
  m.extra.push_back(std::to_string(r.external_port));
  m.extra.push_back(std::to_string(r.lease_end));
  if (r.gateway != 0) m.extra.push_back(Ipv4Text(r.gateway));
  return m;
}

bool FromMappingRecord(const MappingRecord& m, LeaseRecord* record) {
  LeaseRecord r;
  size_t fields = 0;
  if (m.method == kMethodPcp) {
    r.protocol = LeaseProtocol::kPcp;
    fields = 3;
  } else if (m.method == kMethodNatPmp) {
    r.protocol = LeaseProtocol::kNatPmp;
    fields = 2;
  }
  if (fields != 0 && m.extra.size() == fields + 1 &&
      !ParseIpv4(m.extra[fields], &r.gateway)) {
    return false;
  }
  if (fields == 0 || (m.extra.size() != fields && m.extra.size() != fields + 1) ||
      m.protocol != "TCP" ||
      !ParseIpv4(m.address, &r.address) || !ParsePortText(m.extra[fields - 2], &r.external_port)) {
    return false;
  }
  r.internal_port = m.port;
  const std::string& end = m.extra[fields - 1];
  if (end.empty() || end.size() > 19) return false;
  for (char c : end) {
    if (c < '0' || c > '9') return false;
    r.lease_end = r.lease_end * 10 + static_cast<uint64_t>(c - '0');
  }
  if (r.protocol == LeaseProtocol::kPcp) {
    const std::string& hex = m.extra[0];
    if (hex.size() != 2 * r.nonce.size()) return false;
    for (size_t i = 0; i < r.nonce.size(); ++i) {
      const int high = HexDigit(hex[2 * i]), low = HexDigit(hex[2 * i + 1]);
      if (high < 0 || low < 0) return false;
      r.nonce[i] = static_cast<uint8_t>(high << 4 | low);
    }
  }
  *record = r;
  return true;
}

bool RecordReadable(const std::string& text) {
  MappingRecord m;
  if (!ParseMappingRecord(text, &m)) return false;
  std::string gateway;
  uint64_t end = 0;
  LeaseRecord lease;
  return ReadUpnpRecord(m, &gateway, &end) || FromMappingRecord(m, &lease);
}

bool LeaseElsewhere(const LeaseRecord& record, uint32_t gateway, uint32_t our_address) {
  return (record.gateway != 0 && record.gateway != gateway) || record.address != our_address;
}
