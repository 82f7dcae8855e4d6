#include <gtest/gtest.h>

#include "portmap/lease_rules.h"
#include "portmap/pcp_message.h"

namespace {

constexpr uint32_t kGateway = 0x0AFA0701;  // 10.250.7.1
constexpr uint32_t kMe = 0x0AFA0702;       // 10.250.7.2

MapRequest Request(uint32_t lifetime = kLeaseSeconds) {
  MapRequest r;
  r.client = kMe;
  r.internal_port = 41813;
  r.external_port = 41813;
  r.lifetime = lifetime;
  for (size_t i = 0; i < r.nonce.size(); ++i) r.nonce[i] = static_cast<uint8_t>(0xA0 + i);
  return r;
}

using Bytes = std::vector<uint8_t>;

// A PCP MAP answer to Request(): result, lifetime 7200, port 50000, 44.0.7.1.
Bytes PcpAnswer(uint8_t result, const MapRequest& r = Request()) {
  Bytes a = PcpMapRequest(r);
  a[1] = 0x81;
  a[3] = result;
  for (int i = 8; i < 24; ++i) a[i] = 0;  // epoch, reserved
  a[24 + 18] = 0xC3;                      // 50000
  a[24 + 19] = 0x50;
  a[56] = 44, a[57] = 0, a[58] = 7, a[59] = 1;
  return a;
}

Answer Parse(LeaseProtocol asked, const Bytes& b, uint32_t from = kGateway,
             uint16_t port = kPcpServerPort, const MapRequest& r = Request()) {
  return ParseAnswer(asked, r, kGateway, from, port, b.data(), b.size());
}

// Byte for byte against RFC 6887 11.1 (with the common header of 7.1) and
// RFC 6886 3.3.
TEST(Lease, RequestBytes) {
  const Bytes pcp = {
      2, 1, 0, 0, 0, 0, 0x1C, 0x20,                          // v2, MAP, 7200 s
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 250, 7, 2,  // ::ffff:10.250.7.2
      0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB,  // nonce
      6, 0, 0, 0, 0xA3, 0x55, 0xA3, 0x55,                    // TCP, 41813 -> 41813
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};    // no address preferred
  EXPECT_EQ(PcpMapRequest(Request()), pcp);
  EXPECT_EQ(NatPmpMapRequest(Request()),
            (Bytes{0, 2, 0, 0, 0xA3, 0x55, 0xA3, 0x55, 0, 0, 0x1C, 0x20}));
  EXPECT_EQ(NatPmpMapRequest(Request(0)), (Bytes{0, 2, 0, 0, 0xA3, 0x55, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(NatPmpAddressRequest(), (Bytes{0, 0}));
}

TEST(Lease, PcpAnswers) {
  const Answer ok = Parse(LeaseProtocol::kPcp, PcpAnswer(0));
  EXPECT_EQ(ok.kind, AnswerKind::kGranted);
  EXPECT_EQ(ok.external_port, 50000);
  EXPECT_EQ(Ipv4Text(ok.external_address), "44.0.7.1");
  EXPECT_EQ(ok.lifetime, kLeaseSeconds);
  // Every result but success is a refusal, named by its own code.
  for (uint8_t code = 2; code < 14; ++code) {
    const Answer a = Parse(LeaseProtocol::kPcp, PcpAnswer(code));
    EXPECT_EQ(a.kind, AnswerKind::kRefused) << int(code);
    EXPECT_EQ(a.result_name, PcpResultName(code));
  }
  EXPECT_EQ(PcpResultName(2), "NOT_AUTHORIZED");
  EXPECT_EQ(PcpResultName(99), "result 99");
}

// Whatever is not the answer to our request is not heard: another sender,
// another port, another nonce, size or opcode; a grant without a port.
TEST(Lease, PcpIgnores) {
  Bytes other_nonce = PcpAnswer(0), short_one = PcpAnswer(0), odd = PcpAnswer(0),
        peer = PcpAnswer(0), no_port = PcpAnswer(0), udp = PcpAnswer(0);
  other_nonce[24 + 11] ^= 1;
  short_one.resize(56);
  odd.push_back(0);
  peer[1] = 0x82;
  no_port[24 + 18] = no_port[24 + 19] = 0;
  udp[24 + 12] = 17;
  for (const Bytes& b : {other_nonce, short_one, odd, peer, no_port, udp}) {
    EXPECT_EQ(Parse(LeaseProtocol::kPcp, b).kind, AnswerKind::kIgnored);
  }
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, PcpAnswer(0), kGateway + 1).kind, AnswerKind::kIgnored);
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, PcpAnswer(0), kGateway, 5350).kind, AnswerKind::kIgnored);
  // A deletion's answer may have lifetime 0; a grant may not.
  Bytes gone = PcpAnswer(0, Request(0));
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, gone, kGateway, kPcpServerPort, Request(0)).kind,
            AnswerKind::kGranted);
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, gone).kind, AnswerKind::kIgnored);
}

// NAT-PMP's "Unsupported Version" to our PCP request, or a PCP gateway's
// UNSUPP_VERSION of another version: ask again in NAT-PMP. A v2 UNSUPP_VERSION
// is a plain refusal.
TEST(Lease, FallBack) {
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, {0, 0x81, 0, 1, 0, 0, 0, 9}).kind, AnswerKind::kFallBack);
  Bytes v1 = PcpAnswer(1);
  v1[0] = 1;
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, v1).kind, AnswerKind::kFallBack);
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, PcpAnswer(1)).kind, AnswerKind::kRefused);
  EXPECT_EQ(Parse(LeaseProtocol::kPcp, {0, 0x81, 0, 2, 0, 0, 0, 9}).kind, AnswerKind::kIgnored);
  EXPECT_EQ(Parse(LeaseProtocol::kNatPmp, {0, 0x81, 0, 1, 0, 0, 0, 9}).kind,
            AnswerKind::kIgnored);
}

TEST(Lease, NatPmpAnswers) {
  const Bytes map = {0, 130, 0, 0, 0, 0, 1, 0, 0xA3, 0x55, 0xC3, 0x50, 0, 0, 0x0E, 0x10};
  const Answer ok = Parse(LeaseProtocol::kNatPmp, map);
  EXPECT_EQ(ok.kind, AnswerKind::kGranted);
  EXPECT_EQ(ok.external_port, 50000);
  EXPECT_EQ(ok.lifetime, 3600u);
  // Each answer only to its own request: an address answer ends no mapping exchange.
  const Bytes address_answer = {0, 128, 0, 0, 0, 0, 1, 0, 44, 0, 7, 1};
  MapRequest address_request = Request();
  address_request.address_only = true;
  const Answer address =
      Parse(LeaseProtocol::kNatPmp, address_answer, kGateway, kPcpServerPort, address_request);
  EXPECT_EQ(address.kind, AnswerKind::kAddress);
  EXPECT_EQ(address.external_address, 0x2C000701u);
  EXPECT_EQ(Parse(LeaseProtocol::kNatPmp, address_answer).kind, AnswerKind::kIgnored);
  EXPECT_EQ(Parse(LeaseProtocol::kNatPmp, map, kGateway, kPcpServerPort, address_request).kind,
            AnswerKind::kIgnored);
  for (uint8_t code = 1; code < 6; ++code) {
    Bytes refused = map;
    refused[3] = code;
    const Answer a = Parse(LeaseProtocol::kNatPmp, refused);
    EXPECT_EQ(a.kind, AnswerKind::kRefused);
    EXPECT_EQ(a.result_name, NatPmpResultName(code));
  }
  EXPECT_EQ(NatPmpResultName(2), "Not Authorized/Refused");
  Bytes other_port = map, longer = map, udp = map;
  other_port[9] ^= 1;
  longer.push_back(0);
  udp[1] = 129;
  for (const Bytes& b : {other_port, longer, udp}) {
    EXPECT_EQ(Parse(LeaseProtocol::kNatPmp, b).kind, AnswerKind::kIgnored);
  }
}

// The RFCs' series, bounded: PCP 3 s +-10% then about double; NAT-PMP 250 ms
// doubling; both cut at 10 s in all.
TEST(Lease, Retransmission) {
  for (uint32_t random : {0u, 0xffffffffu, 0x12345678u}) {
    const std::vector<uint32_t> pcp = RetransmitWaitsMs(LeaseProtocol::kPcp, random);
    uint64_t sum = 0;
    for (uint32_t w : pcp) sum += w;
    EXPECT_EQ(sum, kLeaseExchangeMs);
    EXPECT_GE(pcp[0], 2700u);
    EXPECT_LE(pcp[0], 3300u);
    if (pcp.size() == 3) {  // else the second was cut at the bound
      EXPECT_GE(pcp[1], pcp[0] * 19 / 10);
      EXPECT_LE(pcp[1], pcp[0] * 21 / 10);
    } else {
      EXPECT_EQ(pcp.size(), 2u);
    }
  }
  EXPECT_EQ(RetransmitWaitsMs(LeaseProtocol::kNatPmp, 0),
            (std::vector<uint32_t>{250, 500, 1000, 2000, 4000, 2250}));
}

// A fake clock through a lease of 7200 s granted at t = 1000 s: the thread
// sleeps until half of it, then, unanswered, half of what is left; never past
// the 20-minute look, and a renewal overdue (no route to send it) never spins.
TEST(Lease, Renewal) {
  const uint64_t granted = 1000 * 1000, ends = granted + 7200 * 1000;
  const uint64_t first = RenewalAtMs(granted, ends);
  EXPECT_EQ(first, granted + 3600 * 1000);
  EXPECT_EQ(RenewalAtMs(first, ends), first + 1800 * 1000);
  EXPECT_EQ(RenewalAtMs(ends - 1000, ends), ends + 4000);
  const uint32_t look = 20 * 60 * 1000;
  EXPECT_EQ(SleepMs(granted, true, first, look), look);
  EXPECT_EQ(SleepMs(first - 5000, true, first, look), 5000u);
  EXPECT_GE(kMinLeaseSleepMs, 1000u);
  EXPECT_EQ(SleepMs(first + 1, true, first, look), kMinLeaseSleepMs);
  EXPECT_EQ(SleepMs(ends + 3600 * 1000, true, first, look), kMinLeaseSleepMs);
  EXPECT_EQ(SleepMs(first + 1, false, first, look), look);
}

// In the engine key's record, beside UPnP's: method first, what a deletion needs after.
TEST(Lease, Record) {
  LeaseRecord r;
  r.internal_port = 41813;
  r.address = kMe;
  r.nonce = Request().nonce;
  r.external_port = 50000;
  r.lease_end = 1796684465;
  const char* pcp = "pcp TCP 41813 10.250.7.2 a0a1a2a3a4a5a6a7a8a9aaab 50000 1796684465";
  EXPECT_EQ(FormatMappingRecord(ToMappingRecord(r)), pcp);
  MappingRecord m;
  LeaseRecord back;
  ASSERT_TRUE(ParseMappingRecord(pcp, &m));
  ASSERT_TRUE(FromMappingRecord(m, &back));
  EXPECT_EQ(back.nonce, r.nonce);
  EXPECT_EQ(back.external_port, 50000);
  EXPECT_EQ(back.lease_end, r.lease_end);
  r.protocol = LeaseProtocol::kNatPmp;
  EXPECT_EQ(FormatMappingRecord(ToMappingRecord(r)), "natpmp TCP 41813 10.250.7.2 50000 1796684465");
  ASSERT_TRUE(FromMappingRecord(ToMappingRecord(r), &back));
  EXPECT_EQ(back.protocol, LeaseProtocol::kNatPmp);
  for (const char* bad : {"upnp TCP 41813 10.250.7.2", "pcp TCP 41813 10.250.7.2 a0 50000 1",
                          "natpmp UDP 41813 10.250.7.2 50000 1", "natpmp TCP 41813 10.250.7.2 0 1",
                          "natpmp TCP 41813 10.250.7.256 1 1", "natpmp TCP 41813 10.250.7.2 1 x"}) {
    ASSERT_TRUE(ParseMappingRecord(bad, &m)) << bad;
    EXPECT_FALSE(FromMappingRecord(m, &back)) << bad;
  }
  // The granting gateway last; a record of the previous version has none.
  r.gateway = kGateway;
  ASSERT_TRUE(ParseMappingRecord(FormatMappingRecord(ToMappingRecord(r)), &m));
  ASSERT_TRUE(FromMappingRecord(m, &back));
  EXPECT_EQ(back.gateway, kGateway);
  EXPECT_FALSE(LeaseElsewhere(back, kGateway, kMe));
  EXPECT_TRUE(LeaseElsewhere(back, kGateway + 1, kMe));
  EXPECT_TRUE(LeaseElsewhere(back, kGateway, kMe + 1));
  ASSERT_TRUE(ParseMappingRecord(pcp, &m));
  ASSERT_TRUE(FromMappingRecord(m, &back));
  EXPECT_FALSE(LeaseElsewhere(back, kGateway + 1, kMe));
  // What this version cannot act on is cleared, not left to block every method.
  for (const char* text : {"pcp TCP 41813 10.250.7.2", "natpmp TCP 41813 10.250.7.2 1 x",
                           "upnp TCP 41813 10.250.7.2 10.250.7.1", "ftp TCP 1 a", "upnp TCP"}) {
    EXPECT_FALSE(RecordReadable(text)) << text;
  }
  for (const char* text : {pcp, "upnp TCP 41813 10.250.7.2", "natpmp TCP 41813 10.250.7.2 1 2 10.250.7.1"}) {
    EXPECT_TRUE(RecordReadable(text)) << text;
  }
  EXPECT_EQ(UtcText(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(UtcText(1796684465), "2026-12-07T23:01:05Z");
  EXPECT_EQ(UtcText(1709210096), "2024-02-29T12:34:56Z");
}

}  // namespace
