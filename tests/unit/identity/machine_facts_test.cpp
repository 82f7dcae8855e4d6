#include "identity/machine_facts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "identity/user_id.h"

namespace {

std::string Hex(const uint8_t digest[16]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

MachineFacts FullFacts() {
  MachineFacts facts;
  facts.has_adapter = true;
  const uint8_t adapter[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  std::memcpy(facts.adapter, adapter, 6);
  facts.has_disk_serial = true;
  std::memcpy(facts.disk_serial, "SSSSSSSS    SSSSSSSS", 20);
  facts.processor = 0x178BFBFF;
  facts.has_bios_text = true;
  std::memcpy(facts.bios_text, "08/15/05", 8);
  facts.bios_length = 8;
  return facts;
}

// Reference digests come from an independent MD5 over the concatenated bytes:
// adapter (6), disk serial (49, zeros included), processor (4, little-endian),
// BIOS text (its length).
TEST(MachineFacts, FeedsSourcesInOrder) {
  uint8_t fingerprint[16];
  DigestMachineFacts(FullFacts(), fingerprint);
  EXPECT_EQ(Hex(fingerprint), "40cd71755958eeecfdaf30a5e5f20f06");
}

// A source that yields nothing is left out; the processor word always goes in.
TEST(MachineFacts, MissingSourcesAreLeftOut) {
  uint8_t fingerprint[16];
  MachineFacts facts = FullFacts();
  facts.has_adapter = false;
  facts.has_disk_serial = false;
  DigestMachineFacts(facts, fingerprint);
  EXPECT_EQ(Hex(fingerprint), "4e85c837e111a37ffc60ba00fd615015");

  facts = FullFacts();
  facts.has_disk_serial = false;
  facts.has_bios_text = false;
  DigestMachineFacts(facts, fingerprint);
  EXPECT_EQ(Hex(fingerprint), "9156f77eaf1067e16db8df222da767bf");
}

// No adapter, no disk serial and no BIOS text: the MD5 of the 4 processor bytes.
TEST(MachineFacts, ProcessorAlone) {
  MachineFacts facts = FullFacts();
  facts.has_adapter = false;
  facts.has_disk_serial = false;
  facts.has_bios_text = false;
  facts.processor = 0x44332211;
  uint8_t fingerprint[16];
  DigestMachineFacts(facts, fingerprint);
  EXPECT_EQ(Hex(fingerprint), "7e7c77cff5705d1f7574a25ef6662117");
  EXPECT_EQ(FormatUserId(fingerprint), "CF777C7E1F5D70F55EA27475172166F6");
}

}  // namespace
