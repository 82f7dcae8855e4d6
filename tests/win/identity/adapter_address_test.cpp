#include <gtest/gtest.h>

#include "identity/machine_fingerprint.h"
#include "tests/win/identity/fake_platform.h"

namespace {

const Bytes kVmware = {0x00, 0x50, 0x56, 0xC0, 0x00, 0x01};
const Bytes kVmware2 = {0x00, 0x50, 0x56, 0xC0, 0x00, 0x08};
const Bytes kReal = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Bytes kReal2 = {0x08, 0x00, 0x27, 0x11, 0x22, 0x33};
const Bytes kZero(6, 0x00);
const Bytes kBroadcast(6, 0xFF);

constexpr AsnInteger32 kEthernet = 6;
constexpr AsnInteger32 kLoopback = 24;
constexpr AsnInteger32 kWireless = 71;

class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_snmp = &m_snmp;
    g_netbios = &m_netbios;
    m_platform.platform_id = VER_PLATFORM_WIN32_NT;
    m_platform.snmp_agent = FakeSnmpLoader;
    m_platform.netbios = FakeNetbiosLoader;
  }
  void TearDown() override {
    g_snmp = nullptr;
    g_netbios = nullptr;
  }

  // What GetAdapterAddress chose, or "" for -1.
  Bytes Chosen() {
    Bytes address(6, 0xEE);
    if (GetAdapterAddress(m_platform, address.data()) != 0) {
      EXPECT_EQ(address, Bytes(6, 0xEE)) << "nothing chosen, yet the address was written";
      return {};
    }
    return address;
  }

  FakeSnmpAgent m_snmp;
  FakeNetbios m_netbios;
  MachinePlatform m_platform;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Only ethernet rows with a present, non-zero address of at least 6 bytes are
// listed, in table order; every query is a GETNEXT.
TEST_F(AdapterTest, SnmpListsEthernetRows) {
  m_snmp.SetInterfaces(6, {{kLoopback, {}},
                           {kEthernet, kVmware},
                           {kEthernet, kZero},
                           {kWireless, kReal2},
                           {kEthernet, Bytes{0x00, 0x1A, 0x2B, 0x3C}},
                           {kEthernet, Concat({kReal, Bytes{0x77, 0x88}})}});
  EXPECT_EQ(SnmpAdapterAddresses(&kFakeSnmpAgent), Concat({kVmware, kReal}));
  EXPECT_EQ(m_snmp.queries, 7);
  for (BYTE pdu : m_snmp.pdu_types) EXPECT_EQ(pdu, 0xA1);
}

// ifNumber bounds the walk: fewer rows are read when it says fewer, and rows
// asked beyond the table's end (the names leave the columns) add nothing.
TEST_F(AdapterTest, SnmpRowCountAndTableEnd) {
  m_snmp.SetInterfaces(1, {{kEthernet, kReal}, {kEthernet, kReal2}});
  EXPECT_EQ(SnmpAdapterAddresses(&kFakeSnmpAgent), kReal);

  FakeSnmpAgent longer;
  longer.SetInterfaces(5, {{kEthernet, kReal}, {kEthernet, kReal2}});
  g_snmp = &longer;
  EXPECT_EQ(SnmpAdapterAddresses(&kFakeSnmpAgent), Concat({kReal, kReal2}));
  EXPECT_EQ(longer.queries, 6);
}

// An agent without the address column (the second name walks into another
// group) or with the address in another type lists nothing; so does one whose
// first query fails.
TEST_F(AdapterTest, SnmpAgentsThatListNothing) {
  m_snmp.SetInterfaces(2, {{kEthernet, kReal}, {kEthernet, kReal2}});
  for (auto it = m_snmp.mib.begin(); it != m_snmp.mib.end();) {
    it = (it->first.size() == 11 && it->first[9] == 6) ? m_snmp.mib.erase(it) : std::next(it);
  }
  EXPECT_TRUE(SnmpAdapterAddresses(&kFakeSnmpAgent).empty());

  FakeSnmpAgent wrong_type;
  wrong_type.SetInterfaces(1, {{kEthernet, kReal}});
  wrong_type.mib[{1, 3, 6, 1, 2, 1, 2, 2, 1, 6, 1}] = FakeMibValue{ASN_INTEGER, 0x1A2B3C, {}};
  g_snmp = &wrong_type;
  EXPECT_TRUE(SnmpAdapterAddresses(&kFakeSnmpAgent).empty());

  FakeSnmpAgent failing;
  failing.SetInterfaces(1, {{kEthernet, kReal}});
  failing.fail_all = true;
  g_snmp = &failing;
  EXPECT_TRUE(SnmpAdapterAddresses(&kFakeSnmpAgent).empty());
  EXPECT_EQ(failing.queries, 1);

  EXPECT_TRUE(SnmpAdapterAddresses(nullptr).empty());
}

// NCBENUM, then per LANA a reset and an adapter status with the name "*";
// a LANA whose reset fails is skipped, one whose status fails adds nothing.
TEST_F(AdapterTest, NetbiosWalksLanas) {
  m_netbios.lanas = {3, 0, 5, 7};
  m_netbios.status = {{3, kReal}, {0, kVmware}, {7, kReal2}};
  m_netbios.reset_fails = {0};
  EXPECT_EQ(NetbiosAdapterAddresses(NetbiosCall), Concat({kReal, kReal2}));
  EXPECT_EQ(m_netbios.calls, (std::vector<std::string>{"ENUM", "RESET 3", "ASTAT 3", "RESET 0",
                                                       "RESET 5", "ASTAT 5", "RESET 7",
                                                       "ASTAT 7"}));
  EXPECT_TRUE(m_netbios.faults.empty()) << m_netbios.faults.front();

  FakeNetbios failing;
  failing.lanas = {0};
  failing.status = {{0, kReal}};
  failing.enum_fails = true;
  g_netbios = &failing;
  EXPECT_TRUE(NetbiosAdapterAddresses(NetbiosCall).empty());
  EXPECT_EQ(failing.calls.size(), 1u);
}

// A virtual-host address from SNMP stands only until NetBIOS offers a better
// one; an ordinary SNMP address ends the search before NetBIOS is asked.
TEST_F(AdapterTest, ChoosesAcrossMethods) {
  m_snmp.SetInterfaces(1, {{kEthernet, kVmware}});
  m_netbios.lanas = {0, 1};
  m_netbios.status = {{0, kVmware2}, {1, kReal2}};
  EXPECT_EQ(Chosen(), kReal2);

  m_netbios.lanas = {0};
  EXPECT_EQ(Chosen(), kVmware) << "an equal score from NetBIOS must not replace SNMP's";

  m_snmp.SetInterfaces(1, {{kEthernet, kReal}});
  m_netbios.calls.clear();
  EXPECT_EQ(Chosen(), kReal);
  EXPECT_TRUE(m_netbios.calls.empty());
}

// All-zero and broadcast addresses are never chosen; with nothing else, or
// with no agent at all, there is no address.
TEST_F(AdapterTest, NoUsableAddress) {
  m_snmp.SetInterfaces(1, {{kEthernet, kBroadcast}});
  m_netbios.lanas = {0, 1};
  m_netbios.status = {{0, kZero}, {1, kBroadcast}};
  EXPECT_EQ(Chosen(), Bytes{});

  m_platform.snmp_agent = nullptr;
  m_platform.netbios = []() -> NetbiosFn { return nullptr; };
  EXPECT_EQ(Chosen(), Bytes{});
}

}  // namespace
