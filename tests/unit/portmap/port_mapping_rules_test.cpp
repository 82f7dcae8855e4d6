#include "portmap/port_mapping_rules.h"

#include <gtest/gtest.h>

namespace {

// The environment's "0" wins over the registry; any other text leaves the
// registry in charge, where a stored 0 alone switches mapping off.
TEST(PortMappingRules, Switch) {
  EXPECT_EQ(PortMappingSwitchOf(nullptr, false), PortMappingSwitch::kOn);
  EXPECT_EQ(PortMappingSwitchOf("1", false), PortMappingSwitch::kOn);
  EXPECT_EQ(PortMappingSwitchOf("0", false), PortMappingSwitch::kOffByEnvironment);
  EXPECT_EQ(PortMappingSwitchOf("0", true), PortMappingSwitch::kOffByEnvironment);
  EXPECT_EQ(PortMappingSwitchOf("", true), PortMappingSwitch::kOffBySetting);
}

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
  s.state = PortMapState::kOff;
  s.off_by = PortMappingSwitch::kOffByEnvironment;
  EXPECT_EQ(FormatPortMapText(s), "off (ZRVD_PORT_MAPPING=0)");
}

}  // namespace
