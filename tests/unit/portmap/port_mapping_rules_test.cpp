#include "portmap/port_mapping_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(PortMappingRules, OurDescription) {
  EXPECT_EQ(PortMappingDescription(41813), "zrvd 41813");
  EXPECT_TRUE(IsOurDescription("zrvd 1"));
  for (const char* other : {"zrvd ", "zrvd 418130", "zrvd 41a13", "zrvd 41813 ", "xzrvd 1"}) {
    EXPECT_FALSE(IsOurDescription(other)) << other;
  }
}

RouterMapping Tcp(uint16_t external, const char* client, uint16_t internal, const char* what) {
  return RouterMapping{external, "TCP", client, internal, what, ""};
}

// One table over the router's list: ours left behind (same address, our
// description, another port) goes; other programs' and other machines' entries
// stay; our port held by another machine is a conflict, not a fight.
TEST(PortMappingRules, PlanLook) {
  const char* me = "10.250.7.2";
  struct Case {
    const char* name;
    std::vector<RouterMapping> list;
    std::vector<uint16_t> remove;
    bool present, conflict, add;
  } cases[] = {
      {"empty router", {}, {}, false, false, true},
      {"ours already there", {Tcp(5000, me, 5000, "zrvd 5000")}, {}, true, false, false},
      {"left by an earlier run",
       {Tcp(4000, me, 4000, "zrvd 4000"), Tcp(3000, me, 3000, "zrvd 3000")},
       {4000, 3000}, false, false, true},
      {"earlier run on our port, other inside port",
       {Tcp(5000, me, 4000, "zrvd 4000")}, {5000}, false, false, true},
      {"another program of ours, another port",
       {Tcp(4000, me, 4000, "game server")}, {}, false, false, true},
      {"another machine's zrvd", {Tcp(4000, "10.250.7.3", 4000, "zrvd 4000")}, {}, false,
       false, true},
      {"UDP on our port", {RouterMapping{5000, "UDP", "10.250.7.3", 5000, "x", ""}}, {}, false,
       false, true},
      {"our port held by another machine",
       {Tcp(5000, "10.250.7.3", 5000, "zrvd 5000"), Tcp(4000, me, 4000, "zrvd 4000")},
       {4000}, false, true, false},
  };
  for (const Case& c : cases) {
    const LookPlan plan = PlanLook(c.list, me, 5000);
    EXPECT_EQ(plan.remove, c.remove) << c.name;
    EXPECT_EQ(plan.present, c.present) << c.name;
    EXPECT_EQ(plan.conflict, c.conflict) << c.name;
    EXPECT_EQ(plan.add, c.add) << c.name;
    if (c.conflict) {
      EXPECT_EQ(plan.holder.internal_client, "10.250.7.3") << c.name;
    }
  }
}

// With a record: what it names goes whatever address it points to (ours before an
// address change), if the description is ours; the router not showing it clears it,
// unless the list was cut at the bound; a port that is not a port is nobody's.
TEST(PortMappingRules, PlanLookWithRecord) {
  const char* me = "10.250.7.2";
  const MappingRecord old_address{"upnp", "TCP", 5000, "10.250.7.9", {}};
  const MappingRecord other_port{"upnp", "TCP", 4000, me, {}};
  // A port of 70000 as the wire reads it (UpnpWire.MappingEntry): 0, not 70000 - 65536.
  const RouterMapping bogus{0, "TCP", me, 5000, "zrvd 5000", ""};
  struct Case {
    const char* name;
    MappingRecord record;
    std::vector<RouterMapping> list;
    std::vector<uint16_t> remove;
    bool present, conflict, add, gone;
  } cases[] = {
      {"our port, our old address", old_address, {Tcp(5000, "10.250.7.9", 5000, "zrvd 5000")},
       {5000}, false, false, true, false},
      {"a router that keeps no descriptions", old_address, {Tcp(5000, "10.250.7.9", 5000, "")},
       {5000}, false, false, true, false},
      {"another machine's zrvd on the recorded port", old_address,
       {Tcp(5000, "10.250.7.4", 5000, "zrvd 5000")}, {}, false, true, false, true},
      {"old address, another program's text", old_address,
       {Tcp(5000, "10.250.7.9", 5000, "web")}, {}, false, true, false, true},
      {"recorded port elsewhere", other_port,
       {Tcp(4000, me, 4000, "zrvd 4000"), Tcp(5000, me, 5000, "zrvd 5000")}, {4000},
       true, false, false, false},
      {"not listed: asked for, not cleared", other_port, {}, {}, false, false, true, false},
      {"another client on the recorded port", other_port,
       {Tcp(4000, "10.250.7.5", 4000, "zrvd 4000")}, {}, false, false, true, true},
      {"cut list", other_port, std::vector<RouterMapping>(kMaxRouterEntries, Tcp(9, "x", 9, "x")),
       {}, false, false, true, false},
      {"port 70000 is not ours", old_address, {bogus}, {}, false, false, true, false},
  };
  for (const Case& c : cases) {
    const LookPlan plan = PlanLook(c.list, me, 5000, &c.record);
    EXPECT_EQ(plan.remove, c.remove) << c.name;
    EXPECT_EQ(plan.present, c.present) << c.name;
    EXPECT_EQ(plan.conflict, c.conflict) << c.name;
    EXPECT_EQ(plan.add, c.add) << c.name;
    EXPECT_EQ(plan.record_gone, c.gone) << c.name;
  }
}

// The record's text round-trips, PCP's longer form too; anything else is no record.
TEST(PortMappingRules, RecordText) {
  const MappingRecord upnp{"upnp", "TCP", 41813, "192.168.1.20", {}};
  EXPECT_EQ(FormatMappingRecord(upnp), "upnp TCP 41813 192.168.1.20");
  const MappingRecord pcp{"pcp", "TCP", 1, "10.0.0.2", {"0011aabb", "1765000000"}};
  for (const MappingRecord& r : {upnp, pcp}) {
    MappingRecord back;
    ASSERT_TRUE(ParseMappingRecord(FormatMappingRecord(r), &back)) << FormatMappingRecord(r);
    EXPECT_TRUE(back == r) << FormatMappingRecord(r);
  }
  // UPnP's: the gateway and the lease's end; the previous form (none) still reads.
  std::string gateway;
  uint64_t end = 1;
  MappingRecord back;
  ASSERT_TRUE(ParseMappingRecord(FormatMappingRecord(UpnpRecord(41813, "192.168.1.20",
                                                                "192.168.1.1", 1796684465)),
                                 &back));
  ASSERT_TRUE(ReadUpnpRecord(back, &gateway, &end));
  EXPECT_EQ(gateway + " " + std::to_string(end), "192.168.1.1 1796684465");
  EXPECT_TRUE(SameMapping(back, upnp));
  ASSERT_TRUE(ReadUpnpRecord(upnp, &gateway, &end));
  EXPECT_EQ(gateway + std::to_string(end), "0");
  for (const char* bad : {"upnp TCP 1 a g", "upnp TCP 1 a g 1x", "upnp TCP 1 a g 1 2"}) {
    ASSERT_TRUE(ParseMappingRecord(bad, &back)) << bad;
    EXPECT_FALSE(ReadUpnpRecord(back, &gateway, &end)) << bad;
  }
  for (const char* bad : {"", "upnp", "upnp TCP 41813", "upnp TCP 0 10.0.0.2",
                          "upnp TCP 65536 10.0.0.2", "upnp TCP 4a 10.0.0.2", "upnp TCP 01 a",
                          "upnp  TCP 1 10.0.0.2", "upnp TCP 1 10.0.0.2 ", "up1 TCP 1 a"}) {
    MappingRecord r;
    EXPECT_FALSE(ParseMappingRecord(bad, &r)) << bad;
  }
}

// A removal refused as not ours is final only for a mapping to an address we no
// longer have; any other refusal is tried again.
TEST(PortMappingRules, FinalRemovalRefusal) {
  const struct {
    int http, upnp;
    const char *recorded, *ours;
    bool final;
  } cases[] = {
      {500, 606, "10.250.7.2", "10.250.7.3", true},  {403, 0, "10.250.7.2", "10.250.7.3", true},
      {500, 606, "10.250.7.2", "10.250.7.2", false}, {500, 501, "10.250.7.2", "10.250.7.3", false},
      {403, 501, "10.250.7.2", "10.250.7.3", false}, {500, 606, "10.250.7.2", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RemovalRefusalIsFinal(c.http, c.upnp, c.recorded, c.ours), c.final)
        << c.http << " " << c.upnp << " " << c.ours;
  }
}

// After failed looks: 1, 2, 4 ... minutes, then the 20-minute rhythm.
TEST(PortMappingRules, RetrySchedule) {
  const uint32_t expected[][2] = {{1, 60}, {2, 120}, {3, 240}, {5, 960}, {6, 1200}, {1000, 1200}};
  for (const auto& e : expected) EXPECT_EQ(PortMappingRetrySeconds(e[0]), e[1]) << e[0];
}

// The status view: the mapping when there is one, why not otherwise, and the
// outside address only where the router gave one.
TEST(PortMappingRules, StatusView) {
  PortMapStatus s;
  s.port = 41813;
  s.internal_address = "10.250.7.2";
  EXPECT_EQ(FormatPortMapText(s), "not yet");
  s.state = PortMapState::kMapped;
  s.gateway_found = true;
  s.external_address = "198.51.100.7";
  s.protocol = MapProtocol::kUpnp;
  EXPECT_EQ(FormatPortMapJson(s),
            "{\"state\":\"mapped\",\"gateway_found\":true,\"mapping\":{\"external_port\":41813,"
            "\"internal_address\":\"10.250.7.2\",\"internal_port\":41813},"
            "\"external_address\":\"198.51.100.7\",\"reason\":null,\"protocol\":\"upnp\"}");
  EXPECT_EQ(FormatPortMapText(s),
            "TCP 41813 -> 10.250.7.2:41813 on the gateway; outside address 198.51.100.7");
  s.state = PortMapState::kRefused;
  s.error = 0x80040001u;
  s.external_address.clear();
  EXPECT_EQ(FormatPortMapJson(s),
            "{\"state\":\"refused\",\"gateway_found\":true,\"mapping\":null,"
            "\"external_address\":null,\"reason\":\"refused by the gateway (HRESULT 0x80040001)\","
            "\"error\":\"0x80040001\",\"protocol\":\"upnp\"}");
  // PCP and NAT-PMP: the port the router granted, the lease's end, the result code's name.
  s.protocol = MapProtocol::kPcp;
  s.refusal = "NOT_AUTHORIZED";
  EXPECT_EQ(FormatPortMapText(s), "none: refused by the gateway (PCP NOT_AUTHORIZED)");
  EXPECT_NE(FormatPortMapJson(s).find("\"error\":\"NOT_AUTHORIZED\""), std::string::npos);
  s.state = PortMapState::kMapped;
  s.protocol = MapProtocol::kNatPmp;
  s.external_port = 50000;
  s.lease_ends = 1796684465;
  EXPECT_EQ(FormatPortMapText(s), "TCP 50000 -> 10.250.7.2:41813 on the gateway (NAT-PMP, lease "
                                  "until 2026-12-07T23:01:05Z)");
  EXPECT_NE(FormatPortMapJson(s).find("{\"external_port\":50000,"), std::string::npos);
  EXPECT_NE(FormatPortMapJson(s).find(",\"protocol\":\"nat-pmp\",\"lease_ends\":"
                                      "\"2026-12-07T23:01:05Z\"}"),
            std::string::npos);
  s.state = PortMapState::kConflict;
  s.holder = Tcp(41813, "10.250.7.3", 80, "web");
  EXPECT_EQ(FormatPortMapText(s), "none: TCP 41813 is mapped to 10.250.7.3:80");
  // A router's text forges no line in the console or the log.
  s.holder.internal_client = "10.250.7.3\r\nport mapping: mapped\x7f";
  EXPECT_EQ(FormatPortMapText(s), "none: TCP 41813 is mapped to 10.250.7.3??port mapping: mapped?:80");
  s.state = PortMapState::kOff;
  s.off_by = PortMappingSwitch::kOffByEnvironment;
  EXPECT_EQ(FormatPortMapText(s), "off (ZRVD_PORT_MAPPING=0)");
}

}  // namespace
