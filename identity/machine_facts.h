// The hardware facts behind the machine fingerprint, and the digest made of
// them. Pure: the Windows side gathers the facts (machine_fingerprint.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "identity/adapter_score.h"
#include "identity/bios_probe.h"
#include "identity/serial_text.h"

struct MachineFacts {
  bool has_adapter = false;
  uint8_t adapter[kAdapterAddressSize] = {};
  bool has_disk_serial = false;
  uint8_t disk_serial[kDiskSerialSize] = {};  // fed whole, leftovers and zeros included
  uint32_t processor = 0;                     // fed always, as 4 little-endian bytes
  bool has_bios_text = false;
  uint8_t bios_text[kBiosTextSize] = {};
  size_t bios_length = 0;  // at most kBiosTextSize
};

// MD5 of the facts present, in the order adapter, disk serial, processor, BIOS.
void DigestMachineFacts(const MachineFacts& facts, uint8_t fingerprint[16]);
