#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "identity/machine_fingerprint.h"
#include "tests/win/identity/fake_platform.h"

namespace {

// What the fake section and firmware functions saw and answer.
struct FakeFirmware {
  bool open_fails = false;
  bool map_fails = false;
  std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000, 0);  // the mapped view
  HANDLE section = nullptr;
  std::vector<std::string> faults;
  PVOID unmapped = nullptr;
  int opens = 0;

  UINT table_size = 0x20000;
  DWORD size_error = ERROR_INSUFFICIENT_BUFFER;
  UINT fill_result = 0x20000;  // what the second call returns
  std::vector<uint8_t> table = std::vector<uint8_t>(0x20000, 0);
  int firmware_calls = 0;
};

FakeFirmware* g_fw = nullptr;

NTSTATUS NTAPI FakeOpenSection(PHANDLE section, ACCESS_MASK access,
                               POBJECT_ATTRIBUTES attributes) {
  ++g_fw->opens;
  const UNICODE_STRING* name = attributes->ObjectName;
  if (access != 4) g_fw->faults.push_back("access");
  if (attributes->Attributes != OBJ_CASE_INSENSITIVE) g_fw->faults.push_back("attributes");
  if (name->Length != 44 || name->MaximumLength != 46 ||
      std::wstring(name->Buffer, 22) != L"\\device\\physicalmemory") {
    g_fw->faults.push_back("name");
  }
  if (g_fw->open_fails) return static_cast<NTSTATUS>(0xC0000034);
  g_fw->section = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // a handle to be closed
  *section = g_fw->section;
  return 0;
}

NTSTATUS NTAPI FakeMapView(HANDLE section, HANDLE process, PVOID* base, ULONG_PTR zero_bits,
                           SIZE_T commit_size, PLARGE_INTEGER offset, PSIZE_T view_size,
                           DWORD inherit, ULONG allocation_type, ULONG protect) {
  if (section != g_fw->section || process != GetCurrentProcess() || zero_bits != 0 ||
      commit_size != 65535 || offset->QuadPart != 0xF0000 || *view_size != 65535 ||
      inherit != 1 || allocation_type != 0 || protect != PAGE_READONLY) {
    g_fw->faults.push_back("map arguments");
  }
  if (g_fw->map_fails) return static_cast<NTSTATUS>(0xC0000022);
  *base = g_fw->memory.data();
  *view_size = g_fw->memory.size();  // rounded up to whole pages
  return 0;
}

NTSTATUS NTAPI FakeUnmapView(HANDLE process, PVOID base) {
  if (process != GetCurrentProcess()) g_fw->faults.push_back("unmap process");
  g_fw->unmapped = base;
  return 0;
}

UINT WINAPI FakeFirmwareTable(DWORD provider, DWORD table_id, PVOID buffer, DWORD size) {
  ++g_fw->firmware_calls;
  if (provider != 0x4649524D || table_id != 0xE0000) g_fw->faults.push_back("table");
  if (buffer == nullptr) {
    SetLastError(g_fw->size_error);
    return g_fw->table_size;
  }
  if (size != g_fw->table_size) g_fw->faults.push_back("buffer size");
  std::memcpy(buffer, g_fw->table.data(), std::min<size_t>(size, g_fw->table.size()));
  return g_fw->fill_result;
}

class BiosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fw = &m_fw;
    m_platform.platform_id = VER_PLATFORM_WIN32_NT;
    m_platform.open_section = FakeOpenSection;
    m_platform.map_view_of_section = FakeMapView;
    m_platform.unmap_view_of_section = FakeUnmapView;
    m_platform.get_system_firmware_table = FakeFirmwareTable;
  }
  void TearDown() override {
    EXPECT_TRUE(m_fw.faults.empty()) << m_fw.faults.front();
    g_fw = nullptr;
  }

  // The text found, or "" when there was none.
  std::string Text() {
    uint8_t buffer[49] = {};
    size_t length = 0;
    if (!GetBiosText(m_platform, buffer, &length)) return "";
    EXPECT_LE(length, 49u);
    return std::string(reinterpret_cast<char*>(buffer), length);
  }

  static void Put(std::vector<uint8_t>& image, size_t offset, const char* text) {
    std::memcpy(image.data() + offset, text, std::strlen(text) + 1);
  }

  FakeFirmware m_fw;
  MachinePlatform m_platform;
};

// The physical memory section is mapped at 0xF0000 with the documented
// arguments, probed, unmapped, and its handle closed.
TEST_F(BiosTest, PhysicalMemorySection) {
  Put(m_fw.memory, 0xEC71, "08/15/05");
  EXPECT_EQ(Text(), "08/15/05");
  EXPECT_EQ(m_fw.unmapped, m_fw.memory.data());
  EXPECT_EQ(m_fw.firmware_calls, 0);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(m_fw.section, &flags)) << "section handle left open";
}

// When the section cannot be opened or mapped, or a section function is
// missing, the firmware table supplies the image from its offset 0x10000.
TEST_F(BiosTest, FirmwareTableFallback) {
  Put(m_fw.table, 0x10000 + 0xF478, "62-0100-001169");
  m_fw.open_fails = true;
  EXPECT_EQ(Text(), "62-0100-001169");
  EXPECT_EQ(m_fw.firmware_calls, 2);

  m_fw.open_fails = false;
  m_fw.map_fails = true;
  EXPECT_EQ(Text(), "62-0100-001169");
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(m_fw.section, &flags)) << "section handle left open";

  m_fw.map_fails = false;
  m_platform.unmap_view_of_section = nullptr;
  const int opens_before = m_fw.opens;
  EXPECT_EQ(Text(), "62-0100-001169");
  EXPECT_EQ(m_fw.opens, opens_before) << "the section is not opened without all three";
}

// The firmware table is taken only when the size query reports a short
// buffer and the table is at least 0x1FFFF bytes and no larger than its buffer.
TEST_F(BiosTest, FirmwareTableChecks) {
  Put(m_fw.table, 0x10000 + 0xEC71, "01/02/03");
  m_platform.open_section = nullptr;
  struct Case {
    DWORD size_error;
    UINT table_size;
    UINT fill_result;
    const char* text;
  } const cases[] = {
      {ERROR_INSUFFICIENT_BUFFER, 0x20000, 0x20000, "01/02/03"},
      {ERROR_INSUFFICIENT_BUFFER, 0x20000, 0x1FFFF, "01/02/03"},
      {ERROR_SUCCESS, 0x20000, 0x20000, ""},
      {ERROR_INSUFFICIENT_BUFFER, 0x20000, 0x1FFFE, ""},
      {ERROR_INSUFFICIENT_BUFFER, 0x20000, 0x20001, ""},
      {ERROR_INSUFFICIENT_BUFFER, 0x20000, 0, ""},
      {ERROR_INSUFFICIENT_BUFFER, 0, 0x20000, ""},
  };
  for (const Case& c : cases) {
    m_fw.size_error = c.size_error;
    m_fw.table_size = c.table_size;
    m_fw.fill_result = c.fill_result;
    EXPECT_EQ(Text(), c.text) << c.size_error << " " << c.table_size << " " << c.fill_result;
  }
  m_platform.get_system_firmware_table = nullptr;
  EXPECT_EQ(Text(), "");
}

// Windows 9x reads the area straight from the process's own low memory and
// asks nothing else.
TEST_F(BiosTest, Windows9xLowMemory) {
  std::vector<uint8_t> low(65535, 0);
  Put(low, 0x7550, "BIOSVER.123.4");
  m_platform.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  m_platform.bios_area_9x = low.data();
  EXPECT_EQ(Text(), "BIOSVER.123.4");
  EXPECT_EQ(m_fw.opens, 0);
  EXPECT_EQ(m_fw.firmware_calls, 0);
}

}  // namespace
