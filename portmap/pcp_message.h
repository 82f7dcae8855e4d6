// The datagrams of PCP (RFC 6887) and NAT-PMP (RFC 6886) that ask a gateway
// for a TCP mapping, and the reading of its answers. Answers are untrusted:
// anything that is not exactly the answer to our request is ignored. Portable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Both protocols listen there on the gateway.
constexpr uint16_t kPcpServerPort = 5351;
// Two hours asked; a router may grant less.
constexpr uint32_t kLeaseSeconds = 2 * 60 * 60;

enum class LeaseProtocol { kPcp, kNatPmp };

// Kept for renewals and deletion: PCP lets only the same nonce touch a mapping.
using PcpNonce = std::array<uint8_t, 12>;

// Addresses are IPv4 in host order (10.0.0.1 is 0x0A000001).
struct MapRequest {
  uint32_t client = 0;            // ours, as the gateway sees it
  uint16_t internal_port = 0;
  uint16_t external_port = 0;     // suggested
  uint32_t external_address = 0;  // suggested (PCP); 0 for no preference
  uint32_t lifetime = 0;          // seconds; 0 deletes
  PcpNonce nonce{};
  // NAT-PMP's outside address request, not a mapping: only its answer is heard.
  bool address_only = false;
};

std::vector<uint8_t> PcpMapRequest(const MapRequest& request);
// A deletion (lifetime 0) suggests external port 0, as RFC 6886 asks.
std::vector<uint8_t> NatPmpMapRequest(const MapRequest& request);
// NAT-PMP's mapping answer has no external address; this asks for it.
std::vector<uint8_t> NatPmpAddressRequest();

enum class AnswerKind {
  kIgnored,   // not an answer to our request
  kGranted,   // lifetime 0 when a deletion succeeded
  kRefused,   // a result code other than success
  kFallBack,  // the gateway speaks no PCP version 2: ask in NAT-PMP
  kAddress,   // NAT-PMP's external address
};

struct Answer {
  AnswerKind kind = AnswerKind::kIgnored;
  unsigned result = 0;
  std::string result_name;  // "NOT_AUTHORIZED", ...
  uint16_t external_port = 0;
  uint32_t external_address = 0;  // PCP's answer, or NAT-PMP's address answer
  uint32_t lifetime = 0;
};

// `asked`: the protocol of the request in flight. `from`, `from_port`: the
// datagram's source; only `gateway`:5351 is heard.
Answer ParseAnswer(LeaseProtocol asked, const MapRequest& request, uint32_t gateway,
                   uint32_t from, uint16_t from_port, const uint8_t* data, size_t size);

// The result code's name as the RFC gives it; "result <n>" for one it lacks.
std::string PcpResultName(unsigned code);
std::string NatPmpResultName(unsigned code);

// "10.0.0.1" <-> 0x0A000001; false for anything else.
bool ParseIpv4(const std::string& text, uint32_t* address);
std::string Ipv4Text(uint32_t address);
