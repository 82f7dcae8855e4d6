// The disk serial source: IDENTIFY data through the SMART interfaces, the
// storage driver's device descriptor or media serial, or a SCSI miniport.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "identity/disk_requests.h"
#include "identity/machine_fingerprint.h"
#include "identity/serial_text.h"

namespace {

constexpr int kMaxDrives = 16;
constexpr size_t kStorageWorkingSize = 1000;
constexpr size_t kStorageOutputSize = 10000;
constexpr size_t kSmartDriverSerialOffset = kSmartAnswerDataOffset + 20;

bool Accepted(const uint8_t* text) { return AnsiAlnum(static_cast<char>(text[0])); }

std::unique_ptr<IDiskDevice> OpenNumbered(IDiskDevices& disks, const char* format, int number,
                                          DWORD access) {
  char path[32];
  std::snprintf(path, sizeof(path), format, number);
  return disks.Open(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
}

// Windows 9x: the SMARTVSD driver answers for every drive through one handle.
bool SmartDriverSerial(IDiskDevices& disks, uint8_t result[kDiskSerialSize]) {
  std::unique_ptr<IDiskDevice> driver = disks.Open("\\\\.\\SMARTVSD", 0, 0, CREATE_NEW);
  if (!driver) {
    disks.InstallSmartDriver();
    return false;
  }
  for (int d = 0; d < kMaxDrives; ++d) {
    uint8_t command[kSmartCommandSize];
    BuildSmartIdentifyCommand(command, kAtaIdentifyDevice, 0xA0, static_cast<uint8_t>(d));
    uint8_t answer[kSmartAnswerSize] = {};
    DWORD returned = 0;
    if (!driver->Control(kSmartRcvDriveData, command, sizeof(command), answer, sizeof(answer),
                         &returned)) {
      continue;
    }
    uint8_t serial[kDiskSerialSize];
    SerialFromIdentifyBytes(answer + kSmartDriverSerialOffset, serial, AnsiAlnum);
    if (Accepted(serial)) {
      std::memcpy(result, serial, kDiskSerialSize);
      return true;
    }
  }
  return false;
}

bool SmartPhysicalDriveSerial(IDiskDevices& disks, uint8_t result[kDiskSerialSize]) {
  for (int d = 0; d < kMaxDrives; ++d) {
    std::unique_ptr<IDiskDevice> drive =
        OpenNumbered(disks, "\\\\.\\PhysicalDrive%d", d, GENERIC_READ | GENERIC_WRITE);
    if (!drive) continue;

    uint8_t version[kSmartVersionSize] = {};
    DWORD returned = 0;
    if (!drive->Control(kSmartGetVersion, nullptr, 0, version, sizeof(version), &returned)) {
      continue;
    }
    const unsigned device_map = version[kSmartVersionDeviceMapOffset];
    if (device_map == 0) continue;

    // Bit 4 upwards marks ATAPI devices, which answer only IDENTIFY PACKET DEVICE.
    const uint8_t command =
        ((device_map >> d) & 0x10) ? kAtaIdentifyPacketDevice : kAtaIdentifyDevice;
    const uint8_t drive_head = (d & 1) ? 0xB0 : 0xA0;
    uint8_t request[kSmartCommandSize];
    BuildSmartIdentifyCommand(request, command, drive_head, static_cast<uint8_t>(d));
    uint8_t answer[kSmartAnswerSize] = {};
    if (!drive->Control(kSmartRcvDriveData, request, sizeof(request), answer, sizeof(answer),
                        &returned)) {
      continue;
    }
    uint8_t serial[kDiskSerialSize];
    SerialFromIdentifyWords(answer + kSmartAnswerDataOffset, serial, AnsiAlnum);
    if (Accepted(serial)) {
      std::memcpy(result, serial, kDiskSerialSize);
      return true;
    }
  }
  return false;
}

// Needs no access rights, so it also answers for processes that may not open
// the drive for reading.
bool StorageQuerySerial(IDiskDevices& disks, uint8_t result[kDiskSerialSize]) {
  std::vector<uint8_t> output(kStorageOutputSize);
  for (int d = 0; d < kMaxDrives; ++d) {
    std::unique_ptr<IDiskDevice> drive = OpenNumbered(disks, "\\\\.\\PhysicalDrive%d", d, 0);
    if (!drive) continue;

    char working[kStorageWorkingSize] = {};
    uint8_t query[kStorageQuerySize] = {};  // StorageDeviceProperty, PropertyStandardQuery
    std::fill(output.begin(), output.end(), 0);
    DWORD returned = 0;
    bool accepted = drive->Control(kStorageQueryProperty, query, sizeof(query), output.data(),
                                   kStorageOutputSize, &returned) &&
                    SerialFromStorageDescriptor(output.data(), kStorageOutputSize, working,
                                                sizeof(working), AnsiAlnum);
    if (!accepted) {
      std::fill(output.begin(), output.end(), 0);
      accepted = drive->Control(kStorageGetMediaSerialNumber, nullptr, 0, output.data(),
                                kStorageOutputSize, &returned) &&
                 SerialFromMediaSerial(output.data(), kStorageOutputSize, working,
                                       sizeof(working), AnsiAlnum);
    }
    if (accepted) {
      std::memcpy(result, working, kDiskSerialSize);
      return true;
    }
  }
  return false;
}

bool ScsiMiniportSerial(IDiskDevices& disks, uint8_t result[kDiskSerialSize]) {
  for (int c = 0; c < kMaxDrives; ++c) {
    std::unique_ptr<IDiskDevice> controller =
        OpenNumbered(disks, "\\\\.\\Scsi%d:", c, GENERIC_READ | GENERIC_WRITE);
    if (!controller) continue;

    // Both drives are asked; the last answer stands even when only an
    // earlier one was usable, as identifiers already issued depend on it.
    uint8_t serial[kDiskSerialSize] = {};
    bool found = false;
    for (int d = 0; d < 2; ++d) {
      uint8_t buffer[kScsiIdentifyBufferSize];
      BuildScsiIdentifyRequest(buffer, static_cast<uint8_t>(d));
      DWORD returned = 0;
      if (!controller->Control(kScsiMiniport, buffer, kScsiIdentifyInputSize, buffer,
                               sizeof(buffer), &returned) ||
          buffer[kScsiAnswerModelOffset] == 0) {
        continue;
      }
      SerialFromIdentifyWords(buffer + kScsiAnswerDataOffset, serial, AnsiAlnum);
      if (Accepted(serial)) found = true;
    }
    if (found) {
      std::memcpy(result, serial, kDiskSerialSize);
      return true;
    }
  }
  return false;
}

}  // namespace

bool GetDiskSerial(const MachinePlatform& platform, uint8_t buffer[49]) {
  if (!platform.disks) return false;
  IDiskDevices& disks = *platform.disks;
  switch (platform.platform_id) {
    case VER_PLATFORM_WIN32_WINDOWS:
      return SmartDriverSerial(disks, buffer);
    case VER_PLATFORM_WIN32_NT:
      return SmartPhysicalDriveSerial(disks, buffer) || StorageQuerySerial(disks, buffer) ||
             ScsiMiniportSerial(disks, buffer);
    default:
      return false;
  }
}
