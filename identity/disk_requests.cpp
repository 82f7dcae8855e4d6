#include "identity/disk_requests.h"

#include <cstring>

namespace {

void PutWord32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

// SENDCMDINPARAMS: buffer size, the eight IDE registers, the drive number.
constexpr size_t kCmdBufferSize = 0;
constexpr size_t kCmdRegisters = 4;
constexpr size_t kCmdDriveNumber = 12;
enum IdeRegister { kFeatures, kSectorCount, kSectorNumber, kCylLow, kCylHigh, kDriveHead, kCommand };

}  // namespace

void BuildSmartIdentifyCommand(uint8_t out[kSmartCommandSize], uint8_t command,
                               uint8_t drive_head, uint8_t drive) {
  std::memset(out, 0, kSmartCommandSize);
  PutWord32(out + kCmdBufferSize, 512);
  uint8_t* regs = out + kCmdRegisters;
  regs[kFeatures] = 0;
  regs[kSectorCount] = 1;
  regs[kSectorNumber] = 1;
  regs[kCylLow] = 0;
  regs[kCylHigh] = 0;
  regs[kDriveHead] = drive_head;
  regs[kCommand] = command;
  out[kCmdDriveNumber] = drive;
}

void BuildScsiIdentifyRequest(uint8_t out[kScsiIdentifyBufferSize], uint8_t drive) {
  std::memset(out, 0, kScsiIdentifyBufferSize);
  PutWord32(out, kSrbHeaderSize);
  std::memcpy(out + 4, "SCSIDISK", 8);
  PutWord32(out + 12, 10000);  // time-out, seconds
  PutWord32(out + 16, kScsiMiniportIdentify);
  // out + 20: return code, filled by the driver
  PutWord32(out + 24, kScsiIdentifyBufferSize - kSrbHeaderSize);
  uint8_t* command = out + kSrbHeaderSize;
  command[kCmdRegisters + kCommand] = kAtaIdentifyDevice;
  command[kCmdDriveNumber] = drive;
}
