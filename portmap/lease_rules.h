// When the PCP / NAT-PMP client sends, renews and gives up, and how its lease
// is written down in the engine key and shown. Portable: functions over values,
// times passed in (milliseconds of a monotonic clock; seconds of Unix time).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "portmap/pcp_message.h"
#include "portmap/port_mapping_rules.h"

// One exchange (a request and its retransmissions) gives up after this long:
// the router either speaks or not; the look after next tries again.
constexpr uint32_t kLeaseExchangeMs = 10 * 1000;

// How long to wait for an answer after each send: RFC 6887's series for PCP
// (3 s, then doubling, each +-10% by `random`, any 32-bit value) and RFC
// 6886's for NAT-PMP (250 ms, doubling), cut so that they add up to at most
// kLeaseExchangeMs.
std::vector<uint32_t> RetransmitWaitsMs(LeaseProtocol protocol, uint32_t random);

// When to ask again: half way to the lease's end (RFC 6887 renews between
// 1/2 and 5/8 of the life; RFC 6886 at 1/2), so a renewal that goes
// unanswered still has the other half for the next. At least a few seconds on.
uint64_t RenewalAtMs(uint64_t now_ms, uint64_t lease_ends_ms);

// How long the thread sleeps: until the next look, or the renewal if sooner, and
// never less than this: a renewal that cannot be sent (no route) must not spin.
constexpr uint32_t kMinLeaseSleepMs = 5 * 1000;
uint32_t SleepMs(uint64_t now_ms, bool leased, uint64_t renewal_at_ms, uint32_t look_ms);

// The lease in the engine key's record (PortMappingRecord), written before it is
// asked for, so that a run that did not end cleanly has it deleted by the next:
// "pcp TCP <port> <our address> <nonce, 24 hex digits> <granted external port>
// <lease end>" or "natpmp TCP <port> <our address> <granted external port> <lease
// end>", the end in Unix seconds.
constexpr char kMethodPcp[] = "pcp";
constexpr char kMethodNatPmp[] = "natpmp";
// A last field names the gateway that granted it; a record of the previous
// version has none (any gateway is taken for it).
struct LeaseRecord {
  LeaseProtocol protocol = LeaseProtocol::kPcp;
  uint16_t internal_port = 0;
  uint32_t address = 0;
  PcpNonce nonce{};
  uint16_t external_port = 0;
  uint64_t lease_end = 0;
  uint32_t gateway = 0;  // 0: not recorded
};
MappingRecord ToMappingRecord(const LeaseRecord& record);
// False for another method's record ("upnp ...") and for malformed fields.
bool FromMappingRecord(const MappingRecord& mapping, LeaseRecord* record);

const char* LeaseProtocolName(LeaseProtocol protocol);  // "pcp", "nat-pmp"

// False for a record text this version cannot act on: not a record, a method it
// does not know, or fields that do not read as that method's. Such a record is
// logged once and cleared.
bool RecordReadable(const std::string& text);

// A lease recorded on another network (another gateway, or for an address that is
// no longer ours): it cannot be deleted from here and ends by itself there.
bool LeaseElsewhere(const LeaseRecord& record, uint32_t gateway, uint32_t our_address);
