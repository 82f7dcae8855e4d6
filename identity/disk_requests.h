// Byte layouts of the disk requests that read a drive's IDENTIFY data, built
// by hand so that their sizes are exactly what the drivers expect on every
// compiler. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

// ATA commands.
constexpr uint8_t kAtaIdentifyDevice = 0xEC;
constexpr uint8_t kAtaIdentifyPacketDevice = 0xA1;

// Device control codes.
constexpr uint32_t kSmartGetVersion = 0x74080;
constexpr uint32_t kSmartRcvDriveData = 0x7C088;
constexpr uint32_t kStorageQueryProperty = 0x2D1400;
constexpr uint32_t kStorageGetMediaSerialNumber = 0x2D0C10;
constexpr uint32_t kScsiMiniport = 0x4D008;
constexpr uint32_t kScsiMiniportIdentify = 0x1B0501;

// SENDCMDINPARAMS without its one-byte data tail, and SENDCMDOUTPARAMS with
// one 512-byte IDENTIFY sector.
constexpr size_t kSmartCommandSize = 32;
constexpr size_t kSmartAnswerSize = 528;
constexpr size_t kSmartAnswerDataOffset = 16;
constexpr size_t kSmartVersionSize = 24;  // GETVERSIONOUTPARAMS
constexpr size_t kSmartVersionDeviceMapOffset = 3;

// STORAGE_PROPERTY_QUERY for the standard device property.
constexpr size_t kStorageQuerySize = 12;

// SRB_IO_CONTROL, then the SMART command; the answer reuses the buffer.
constexpr size_t kSrbHeaderSize = 28;
constexpr size_t kScsiIdentifyBufferSize = 557;
constexpr size_t kScsiIdentifyInputSize = kSrbHeaderSize + kSmartCommandSize;  // 60
constexpr size_t kScsiAnswerDataOffset = kSrbHeaderSize + kSmartAnswerDataOffset;  // 44
constexpr size_t kScsiAnswerModelOffset = kScsiAnswerDataOffset + 54;  // 98

// An IDENTIFY request for `drive`: buffer size 512, sector count and number 1,
// cylinder 0, the given drive/head register and command.
void BuildSmartIdentifyCommand(uint8_t out[kSmartCommandSize], uint8_t command,
                               uint8_t drive_head, uint8_t drive);

// The miniport IDENTIFY request for `drive`, zero-filled to the full size.
void BuildScsiIdentifyRequest(uint8_t out[kScsiIdentifyBufferSize], uint8_t drive);
