#include <gtest/gtest.h>

#include <cstring>

#include "identity/disk_requests.h"
#include "identity/machine_fingerprint.h"
#include "tests/win/identity/fake_platform.h"

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The 49 bytes the digest would take: `text` then zeros.
Bytes Serial49(const std::string& text) {
  Bytes out(49, 0);
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

ControlHandler Refuses() {
  return [](DWORD, void*, DWORD, void*, DWORD) { return false; };
}

// A storage driver answering the property query with `serial` at offset 100
// (or no serial when empty) and the media serial request with `media` (or
// failing when empty).
ControlHandler StorageDriver(const std::string& serial, const std::string& media) {
  return [=](DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
    auto* answer = static_cast<uint8_t*>(out);
    if (code == kStorageQueryProperty) {
      static const uint8_t kStandardDeviceQuery[12] = {};
      if (in_size != 12 || std::memcmp(in, kStandardDeviceQuery, 12) != 0 || out_size < 1000) {
        return false;
      }
      answer[0] = 1;
      answer[4] = 100;
      if (!serial.empty()) {
        answer[24] = 100;
        std::memcpy(answer + 100, serial.c_str(), serial.size() + 1);
      }
      return true;
    }
    if (code == kStorageGetMediaSerialNumber && !media.empty()) {
      if (in_size != 0) return false;
      answer[0] = static_cast<uint8_t>(media.size());
      std::memcpy(answer + 16, media.c_str(), media.size() + 1);
      return true;
    }
    return false;
  };
}

// A miniport answering IDENTIFY for drive 0 and drive 1 with the given
// sectors (an empty one fails); records the drives asked.
struct Miniport {
  Bytes drive[2];
  std::vector<int> asked;
  ControlHandler Handler() {
    return [this](DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
      auto* buffer = static_cast<uint8_t*>(in);
      if (code != kScsiMiniport || in != out || in_size != 60 || out_size != 557 ||
          std::memcmp(buffer + 4, "SCSIDISK", 8) != 0 || buffer[0] != 28 ||
          std::memcmp(buffer + 16, "\x01\x05\x1B\x00", 4) != 0 || buffer[24] != 0x11 ||
          buffer[25] != 0x02 || buffer[28 + 10] != 0xEC) {
        return false;
      }
      const int d = buffer[28 + 12];
      asked.push_back(d);
      if (d > 1 || drive[d].empty()) return false;
      std::memcpy(buffer + 44, drive[d].data(), 512);
      return true;
    };
  }
};

class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_platform.platform_id = VER_PLATFORM_WIN32_NT;
    m_platform.disks = &m_disks;
  }

  // The serial found, or an empty vector.
  Bytes Serial() {
    Bytes buffer(49, 0);
    if (!GetDiskSerial(m_platform, buffer.data())) return {};
    return buffer;
  }

  FakeDisks m_disks;
  MachinePlatform m_platform;
};

// SMART on physical drives: drives that do not open or lack a device map are
// passed over; odd drives get head 0xB0; the serial keeps its leftover bytes.
TEST_F(DiskTest, SmartOnPhysicalDrives) {
  SmartDrive no_map;
  no_map.device_map = 0;
  no_map.sector = IdentifySector("NOMAP1");
  SmartDrive drive3;
  drive3.device_map = 0x0F;
  drive3.sector = IdentifySector("            SSSSSSSS");
  m_disks.Add("\\\\.\\PhysicalDrive1", no_map.Handler());
  m_disks.Add("\\\\.\\PhysicalDrive3", drive3.Handler());

  EXPECT_EQ(Serial(), Serial49("SSSSSSSS    SSSSSSSS"));
  EXPECT_TRUE(no_map.commands.empty());
  ASSERT_EQ(drive3.commands.size(), 1u);
  EXPECT_EQ(drive3.commands[0], std::make_pair(uint8_t{0xEC}, uint8_t{0xB0}));
  EXPECT_EQ(drive3.drive_numbers, std::vector<uint8_t>{3});
  ASSERT_EQ(m_disks.opens.size(), 4u) << "stops at the first drive that answers";
  EXPECT_EQ(m_disks.opens[3].path, "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(m_disks.opens[3].access, kReadWrite);
  EXPECT_EQ(m_disks.opens[3].share, kShareBoth);
  EXPECT_EQ(m_disks.opens[3].creation, static_cast<DWORD>(OPEN_EXISTING));
}

// A device map bit 4 places up (shifted by the drive number) asks IDENTIFY
// PACKET DEVICE; a serial that does not begin with a letter or digit moves on.
TEST_F(DiskTest, SmartPacketDevicesAndRefusedSerials) {
  SmartDrive atapi;
  atapi.device_map = 0x10;
  atapi.sector = IdentifySector("  --  ");
  SmartDrive drive2;
  drive2.device_map = 0x01;
  drive2.sector = IdentifySector("Z9");
  m_disks.Add("\\\\.\\PhysicalDrive0", atapi.Handler());
  m_disks.Add("\\\\.\\PhysicalDrive2", drive2.Handler());

  EXPECT_EQ(Serial(), Serial49("Z9"));
  EXPECT_EQ(atapi.commands, (std::vector<std::pair<uint8_t, uint8_t>>{{0xA1, 0xA0}}));
  EXPECT_EQ(drive2.commands, (std::vector<std::pair<uint8_t, uint8_t>>{{0xEC, 0xA0}}));
}

// When SMART finds nothing, the storage query decodes the descriptor's
// swapped hexadecimal serial; it opens the drive with no access rights.
TEST_F(DiskTest, StorageQueryDescriptor) {
  SmartDrive blank;
  blank.sector = IdentifySector("");
  m_disks.Add("\\\\.\\PhysicalDrive0", [&](DWORD code, void* in, DWORD in_size, void* out,
                                           DWORD out_size) {
    if (code == kSmartGetVersion || code == kSmartRcvDriveData)
      return blank.Handler()(code, in, in_size, out, out_size);
    return StorageDriver("2020" "5357" "3030" "3731" "2020", "")(code, in, in_size, out,
                                                                  out_size);
  });
  EXPECT_EQ(Serial(), Serial49("WS001717"));

  bool opened_without_rights = false;
  for (const OpenCall& call : m_disks.opens) {
    if (call.path == "\\\\.\\PhysicalDrive0" && call.access == 0 && call.share == kShareBoth)
      opened_without_rights = true;
  }
  EXPECT_TRUE(opened_without_rights);
}

// The media serial try follows a refused descriptor serial in the same
// working buffer: the first try's bytes beyond the new text stay.
TEST_F(DiskTest, StorageQueryMediaSerialKeepsLeftovers) {
  m_disks.Add("\\\\.\\PhysicalDrive1", StorageDriver("2d2d" "2d2d" "2d2d", "M7"));
  Bytes expected = Serial49("M7");
  expected[3] = expected[4] = expected[5] = '-';
  EXPECT_EQ(Serial(), expected);

  m_disks.Add("\\\\.\\PhysicalDrive1", StorageDriver("", "MEDIA-1"));
  EXPECT_EQ(Serial(), Serial49("MEDIA-1"));
}

// The SCSI miniport asks drives 0 and 1 of each controller; answers without a
// model are ignored, and the last answer stands once any was usable.
TEST_F(DiskTest, ScsiMiniport) {
  Miniport first;
  first.drive[0] = IdentifySector("GOOD1");
  first.drive[1] = IdentifySector("GOOD2", "");  // no model: ignored
  m_disks.Add("\\\\.\\Scsi0:", Refuses());
  m_disks.Add("\\\\.\\Scsi1:", first.Handler());
  EXPECT_EQ(Serial(), Serial49("GOOD1"));
  EXPECT_EQ(first.asked, (std::vector<int>{0, 1}));

  Miniport last_stands;
  last_stands.drive[0] = IdentifySector("GOOD1");
  last_stands.drive[1] = IdentifySector("   ");
  m_disks.Add("\\\\.\\Scsi1:", last_stands.Handler());
  EXPECT_EQ(Serial(), Serial49(" "));

  Miniport none;
  none.drive[1] = IdentifySector("-- --");
  m_disks.Add("\\\\.\\Scsi1:", none.Handler());
  EXPECT_EQ(Serial(), Bytes{});
}

// Windows 9x: the SMARTVSD driver, opened with CREATE_NEW, answers IDENTIFY
// for every drive; without it the driver is installed for the next boot.
TEST_F(DiskTest, Windows9xSmartDriver) {
  m_platform.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  EXPECT_EQ(Serial(), Bytes{});
  EXPECT_EQ(m_disks.smart_driver_installs, 1);
  ASSERT_EQ(m_disks.opens.size(), 1u);
  EXPECT_EQ(m_disks.opens[0].path, "\\\\.\\SMARTVSD");
  EXPECT_EQ(m_disks.opens[0].access, 0u);
  EXPECT_EQ(m_disks.opens[0].share, 0u);
  EXPECT_EQ(m_disks.opens[0].creation, static_cast<DWORD>(CREATE_NEW));

  SmartDrive vxd;
  vxd.sector = IdentifySector("  9X-SERIAL  ");
  int asked = 0;
  m_disks.Add("\\\\.\\SMARTVSD", [&](DWORD code, void* in, DWORD in_size, void* out,
                                     DWORD out_size) {
    // Drive 0 has nothing to say; drive 1 answers.
    return asked++ > 0 && vxd.Handler()(code, in, in_size, out, out_size);
  });
  // Two leading spaces leave the last two characters behind.
  EXPECT_EQ(Serial(), Serial49("9X-SERIALAL"));
  EXPECT_EQ(vxd.commands, (std::vector<std::pair<uint8_t, uint8_t>>{{0xEC, 0xA0}}));
  EXPECT_EQ(vxd.drive_numbers, std::vector<uint8_t>{1});
}

// Other platforms have no disk serial and open nothing.
TEST_F(DiskTest, OtherPlatforms) {
  m_disks.Add("\\\\.\\PhysicalDrive0", StorageDriver("4141", ""));
  m_platform.platform_id = VER_PLATFORM_WIN32s;
  EXPECT_EQ(Serial(), Bytes{});
  EXPECT_TRUE(m_disks.opens.empty());
}

}  // namespace
