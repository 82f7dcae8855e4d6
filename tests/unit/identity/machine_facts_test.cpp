#include "identity/machine_facts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>


namespace {

std::string Hex(const MachineFacts& facts) {
  uint8_t digest[16];
  DigestMachineFacts(facts, digest);
  std::string out;
  for (uint8_t b : digest) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}

// References from an independent MD5 over the concatenation: adapter (6),
// disk serial (49, zeros included), processor (4, little-endian), BIOS text;
// a missing source is left out, the processor word never is.
TEST(MachineFacts, FeedsSourcesInOrder) {
  MachineFacts facts;
  facts.has_adapter = true;
  std::memcpy(facts.adapter, "\x00\x1A\x2B\x3C\x4D\x5E", 6);
  facts.has_disk_serial = true;
  std::memcpy(facts.disk_serial, "SSSSSSSS    SSSSSSSS", 20);
  facts.processor = 0x178BFBFF;
  facts.has_bios_text = true;
  std::memcpy(facts.bios_text, "08/15/05", 8);
  facts.bios_length = 8;
  EXPECT_EQ(Hex(facts), "40cd71755958eeecfdaf30a5e5f20f06");

  facts.has_adapter = facts.has_disk_serial = false;
  EXPECT_EQ(Hex(facts), "4e85c837e111a37ffc60ba00fd615015");

  facts.has_adapter = true;
  facts.has_bios_text = false;
  EXPECT_EQ(Hex(facts), "9156f77eaf1067e16db8df222da767bf");
}

// With no adapter, disk serial or BIOS text: the MD5 of the 4 processor bytes.
TEST(MachineFacts, ProcessorAlone) {
  MachineFacts facts;
  facts.processor = 0x44332211;
  EXPECT_EQ(Hex(facts), "7e7c77cff5705d1f7574a25ef6662117");
}

}  // namespace
