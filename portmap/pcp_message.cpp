#include "portmap/pcp_message.h"

#include <algorithm>

namespace {

constexpr uint8_t kPcpVersion = 2;
constexpr uint8_t kNatPmpVersion = 0;
constexpr uint8_t kOpMap = 1;           // PCP MAP
constexpr uint8_t kOpAddress = 0;       // NAT-PMP external address
constexpr uint8_t kOpMapTcp = 2;        // NAT-PMP TCP mapping
constexpr uint8_t kAnswerBit = 0x80;
constexpr uint8_t kTcp = 6;
constexpr unsigned kUnsupportedVersion = 1;  // the same code in both protocols
constexpr size_t kPcpMapSize = 60;
constexpr size_t kPcpMaxSize = 1100;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v));
}

// IPv4 as an IPv4-mapped IPv6 address (::ffff:a.b.c.d), as PCP carries it.
void PutMapped(std::vector<uint8_t>& out, uint32_t v) {
  out.insert(out.end(), 10, 0);
  out.push_back(0xff);
  out.push_back(0xff);
  Put32(out, v);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(Get16(p)) << 16 | Get16(p + 2);
}

bool IsMapped(const uint8_t* p) {
  static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::equal(prefix, prefix + 12, p);
}

Answer Result(unsigned code, std::string name) {
  Answer a;
  a.kind = code == 0 ? AnswerKind::kGranted : AnswerKind::kRefused;
  a.result = code;
  a.result_name = std::move(name);
  return a;
}

Answer ParsePcp(const MapRequest& request, const uint8_t* d, size_t size) {
  if (size < kPcpMapSize || size > kPcpMaxSize || size % 4 != 0 || d[0] != kPcpVersion) return {};
  const uint8_t* payload = d + 24;
  if (!std::equal(request.nonce.begin(), request.nonce.end(), payload) || payload[12] != kTcp ||
      Get16(payload + 16) != request.internal_port) {
    return {};
  }
  Answer a = Result(d[3], PcpResultName(d[3]));
  if (a.kind != AnswerKind::kGranted) return a;
  a.lifetime = Get32(d + 4);
  a.external_port = Get16(payload + 18);
  // A deletion's answer may carry no address; a grant must carry an IPv4 one.
  if (IsMapped(payload + 20)) {
    a.external_address = Get32(payload + 32);
  } else if (request.lifetime != 0) {
    return {};
  }
  if (request.lifetime != 0 && (a.lifetime == 0 || a.external_port == 0)) return {};
  return a;
}

Answer ParseNatPmp(const MapRequest& request, const uint8_t* d, size_t size) {
  if (d[0] != kNatPmpVersion) return {};
  const unsigned code = Get16(d + 2);
  // Only the answer kind the request can get: an address answer never ends a
  // mapping exchange, nor a mapping answer an address one.
  if ((d[1] == (kAnswerBit | kOpAddress)) != request.address_only) return {};
  if (d[1] == (kAnswerBit | kOpAddress) && size == 12) {
    Answer a = Result(code, NatPmpResultName(code));
    if (a.kind != AnswerKind::kGranted) return a;
    a.kind = AnswerKind::kAddress;
    a.external_address = Get32(d + 8);
    return a;
  }
  if (d[1] != (kAnswerBit | kOpMapTcp) || size != 16 || Get16(d + 8) != request.internal_port) {
    return {};
  }
  Answer a = Result(code, NatPmpResultName(code));
  if (a.kind != AnswerKind::kGranted) return a;
  a.external_port = Get16(d + 10);
  a.lifetime = Get32(d + 12);
  if (request.lifetime != 0 && (a.lifetime == 0 || a.external_port == 0)) return {};
  return a;
}

}  // namespace

std::vector<uint8_t> PcpMapRequest(const MapRequest& r) {
  std::vector<uint8_t> out = {kPcpVersion, kOpMap, 0, 0};
  Put32(out, r.lifetime);
  PutMapped(out, r.client);
  out.insert(out.end(), r.nonce.begin(), r.nonce.end());
  out.push_back(kTcp);
  out.insert(out.end(), 3, 0);
  Put16(out, r.internal_port);
  Put16(out, r.external_port);
  PutMapped(out, r.external_address);
  return out;
}

std::vector<uint8_t> NatPmpMapRequest(const MapRequest& r) {
  std::vector<uint8_t> out = {kNatPmpVersion, kOpMapTcp, 0, 0};
  Put16(out, r.internal_port);
  Put16(out, r.lifetime == 0 ? 0 : r.external_port);
  Put32(out, r.lifetime);
  return out;
}

std::vector<uint8_t> NatPmpAddressRequest() { return {kNatPmpVersion, kOpAddress}; }

Answer ParseAnswer(LeaseProtocol asked, const MapRequest& request, uint32_t gateway,
                   uint32_t from, uint16_t from_port, const uint8_t* data, size_t size) {
  if (from != gateway || from_port != kPcpServerPort || data == nullptr || size < 8) return {};
  // A NAT-PMP-only gateway answers a PCP request with its own "Unsupported
  // Version" (version 0, opcode 128 + 1, result 1); a PCP gateway of another
  // version with UNSUPP_VERSION: the same bytes where they matter.
  if (asked == LeaseProtocol::kPcp) {
    if (data[1] != (kAnswerBit | kOpMap)) return {};
    if (data[0] != kPcpVersion) {
      if (data[2] != 0 || data[3] != kUnsupportedVersion) return {};
      Answer a;
      a.kind = AnswerKind::kFallBack;
      a.result = kUnsupportedVersion;
      a.result_name = data[0] == kNatPmpVersion ? NatPmpResultName(kUnsupportedVersion)
                                                : PcpResultName(kUnsupportedVersion);
      return a;
    }
    return ParsePcp(request, data, size);
  }
  return ParseNatPmp(request, data, size);
}

std::string PcpResultName(unsigned code) {
  static const char* const names[] = {
      "SUCCESS",         "UNSUPP_VERSION",   "NOT_AUTHORIZED",  "MALFORMED_REQUEST",
      "UNSUPP_OPCODE",   "UNSUPP_OPTION",    "MALFORMED_OPTION", "NETWORK_FAILURE",
      "NO_RESOURCES",    "UNSUPP_PROTOCOL",  "USER_EX_QUOTA",   "CANNOT_PROVIDE_EXTERNAL",
      "ADDRESS_MISMATCH", "EXCESSIVE_REMOTE_PEERS"};
  if (code < sizeof(names) / sizeof(names[0])) return names[code];
  return "result " + std::to_string(code);
}

std::string NatPmpResultName(unsigned code) {
  static const char* const names[] = {"Success", "Unsupported Version",
                                      "Not Authorized/Refused", "Network Failure",
                                      "Out of resources", "Unsupported opcode"};
  if (code < sizeof(names) / sizeof(names[0])) return names[code];
  return "result " + std::to_string(code);
}

bool ParseIpv4(const std::string& text, uint32_t* address) {
  uint32_t value = 0;
  int parts = 0;
  size_t at = 0;
  while (parts < 4) {
    size_t digits = 0;
    unsigned part = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
      part = part * 10 + static_cast<unsigned>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || part > 255) return false;
    value = value << 8 | part;
    if (++parts < 4 && (at >= text.size() || text[at++] != '.')) return false;
  }
  if (at != text.size()) return false;
  *address = value;
  return true;
}

std::string Ipv4Text(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xff) + "." +
         std::to_string(a >> 8 & 0xff) + "." + std::to_string(a & 0xff);
}
