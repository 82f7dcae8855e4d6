#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "identity/disk_requests.h"
#include "identity/machine_facts.h"
#include "identity/machine_fingerprint.h"
#include "identity/user_id.h"
#include "tests/win/identity/fake_platform.h"

namespace {

const Bytes kAddress = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

volatile uintptr_t g_bad_address = 0x10;
void Fault() { *reinterpret_cast<volatile int*>(g_bad_address) = 1; }

std::vector<uint8_t> g_firmware_image;

UINT WINAPI FirmwareWithDate(DWORD, DWORD, PVOID buffer, DWORD size) {
  if (!buffer) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return static_cast<UINT>(g_firmware_image.size());
  }
  std::memcpy(buffer, g_firmware_image.data(), size);
  return size;
}

UINT WINAPI FaultingFirmware(DWORD, DWORD, PVOID, DWORD) {
  Fault();
  return 0;
}

UCHAR WINAPI FaultingNetbios(PNCB) {
  Fault();
  return NRC_GOODRET;
}

class FingerprintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_netbios = &m_netbios;
    m_netbios.lanas = {0};
    m_netbios.status = {{0, kAddress}};
    m_drive.sector = IdentifySector("  DISK-7");
    m_disks.Add("\\\\.\\PhysicalDrive0", m_drive.Handler());
    g_firmware_image.assign(0x20000, 0);
    std::memcpy(g_firmware_image.data() + 0x10000 + 0xEC71, "11/22/33", 9);

    m_platform.platform_id = VER_PLATFORM_WIN32_NT;
    m_platform.netbios = FakeNetbiosLoader;
    m_platform.disks = &m_disks;
    m_platform.get_system_firmware_table = FirmwareWithDate;
  }
  void TearDown() override { g_netbios = nullptr; }

  std::string UserId() {
    uint8_t fingerprint[16];
    std::memset(fingerprint, 0xAA, sizeof(fingerprint));
    EXPECT_TRUE(ComputeMachineFingerprint(m_platform, fingerprint));
    return FormatUserId(fingerprint);
  }

  FakeNetbios m_netbios;
  SmartDrive m_drive;
  FakeDisks m_disks;
  MachinePlatform m_platform;
};

std::string ExpectedId(const MachineFacts& facts) {
  uint8_t digest[16];
  DigestMachineFacts(facts, digest);
  return FormatUserId(digest);
}

// Each source's answer reaches the digest: adapter, disk serial with its
// leftover bytes, the processor word and the BIOS text.
TEST_F(FingerprintTest, DigestOfEverySource) {
  MachineFacts facts;
  facts.has_adapter = true;
  std::memcpy(facts.adapter, kAddress.data(), 6);
  facts.has_disk_serial = true;
  std::memcpy(facts.disk_serial, "DISK-7-7", 8);
  facts.processor = GetProcessorFeatures();
  facts.has_bios_text = true;
  std::memcpy(facts.bios_text, "11/22/33", 8);
  facts.bios_length = 8;
  EXPECT_EQ(UserId(), ExpectedId(facts));
}

// With no adapter, no disk serial and no BIOS text the fingerprint is the MD5
// of the processor word alone.
TEST_F(FingerprintTest, ProcessorAlone) {
  MachinePlatform bare;
  bare.platform_id = VER_PLATFORM_WIN32_NT;
  FakeDisks nothing;
  bare.disks = &nothing;
  m_platform = bare;
  MachineFacts facts;
  facts.processor = GetProcessorFeatures();
  EXPECT_EQ(UserId(), ExpectedId(facts));
}

// An access violation inside any source gives the all-zero fingerprint, and a
// clean run afterwards gives the full one again.
TEST_F(FingerprintTest, FaultInAnySourceGivesZeros) {
  const std::string clean = UserId();
  const std::string zeros(32, '0');
  ASSERT_NE(clean, zeros);

  m_platform.netbios = []() -> NetbiosFn { return FaultingNetbios; };
  EXPECT_EQ(UserId(), zeros) << "adapter";
  m_platform.netbios = FakeNetbiosLoader;

  m_disks.Add("\\\\.\\PhysicalDrive0", [](DWORD, void*, DWORD, void*, DWORD) {
    Fault();
    return false;
  });
  EXPECT_EQ(UserId(), zeros) << "disk";
  m_disks.Add("\\\\.\\PhysicalDrive0", m_drive.Handler());

  m_platform.get_system_firmware_table = FaultingFirmware;
  EXPECT_EQ(UserId(), zeros) << "BIOS";

  m_platform.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  m_platform.bios_area_9x = reinterpret_cast<const uint8_t*>(g_bad_address);
  EXPECT_EQ(UserId(), zeros) << "9x BIOS area";

  m_platform.platform_id = VER_PLATFORM_WIN32_NT;
  m_platform.get_system_firmware_table = FirmwareWithDate;
  EXPECT_EQ(UserId(), clean);
}

// A C++ exception out of a source also gives zeros rather than ending the process.
TEST_F(FingerprintTest, ThrowingSourceGivesZeros) {
  m_disks.Add("\\\\.\\PhysicalDrive0", [](DWORD, void*, DWORD, void*, DWORD) -> bool {
    throw std::runtime_error("driver model broke");
  });
  EXPECT_EQ(UserId(), std::string(32, '0'));
}

// The product's own platform under this system: 32 upper-case hexadecimal
// digits, not the failure value, the same each time.
TEST(RealFingerprint, StableUpperHex) {
  uint8_t first[16];
  uint8_t second[16];
  ASSERT_TRUE(ComputeMachineFingerprint(first));
  ASSERT_TRUE(ComputeMachineFingerprint(second));
  const std::string id = FormatUserId(first);
  EXPECT_EQ(id, FormatUserId(second));
  ASSERT_EQ(id.size(), 32u);
  for (char c : id) EXPECT_TRUE(std::isdigit(c) || (c >= 'A' && c <= 'F')) << id;
  EXPECT_NE(id, std::string(32, '0'));
  EXPECT_NE(GetProcessorFeatures(), 0u) << "every x86 processor this runs on has CPUID";
}

}  // namespace
