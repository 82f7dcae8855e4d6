#include "identity/machine_facts.h"

#include <cstring>

#include "identity/md5.h"

void DigestMachineFacts(const MachineFacts& facts, uint8_t fingerprint[16]) {
  MD5Context context;
  std::memset(&context, 0, sizeof(context));
  MD5Init(&context);
  if (facts.has_adapter) MD5Update(&context, facts.adapter, kAdapterAddressSize);
  if (facts.has_disk_serial) MD5Update(&context, facts.disk_serial, kDiskSerialSize);
  const uint8_t processor[4] = {
      static_cast<uint8_t>(facts.processor), static_cast<uint8_t>(facts.processor >> 8),
      static_cast<uint8_t>(facts.processor >> 16), static_cast<uint8_t>(facts.processor >> 24)};
  MD5Update(&context, processor, sizeof(processor));
  if (facts.has_bios_text) {
    const size_t length = facts.bios_length < kBiosTextSize ? facts.bios_length : kBiosTextSize;
    MD5Update(&context, facts.bios_text, static_cast<uint32_t>(length));
  }
  MD5Final(&context, context.digest);
  std::memcpy(fingerprint, context.digest, 16);
}
