#include "identity/bios_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kImageSize = 65535;

struct Image {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kImageSize, 0);
  Image& Put(size_t offset, const std::string& text) {
    std::memcpy(bytes.data() + offset, text.c_str(), text.size() + 1);
    return *this;
  }
};

// What a probe accepted: the text, or "" when nothing matched.
std::string Probe(const Image& image, size_t size = kImageSize) {
  uint8_t text[kBiosTextSize];
  std::memset(text, 0xCC, sizeof(text));
  size_t length = 999;
  if (!ProbeBiosImage(image.bytes.data(), size, text, &length)) {
    EXPECT_EQ(length, 999u) << "length written without a match";
    return "";
  }
  return std::string(reinterpret_cast<char*>(text), length);
}

// Each probe offset with its pattern; positions count from 1.
TEST(BiosProbe, EachOffsetAndPattern) {
  EXPECT_EQ(Probe(Image().Put(0xEC71, "08/15/05")), "08/15/05");
  EXPECT_EQ(Probe(Image().Put(0xF478, "08-15-2005-i440BX")), "");
  EXPECT_EQ(Probe(Image().Put(0xF478, "62-0100-001169")), "62-0100-001169");
  EXPECT_EQ(Probe(Image().Put(0x6577, "BIOS v 1.02.03")), "");
  EXPECT_EQ(Probe(Image().Put(0x6577, "Version.123.5")), "Version.123.5");
  EXPECT_EQ(Probe(Image().Put(0x7196, "Release.ABC.")), "Release.ABC.");
  EXPECT_EQ(Probe(Image().Put(0x7550, "1234567.abc.x")), "1234567.abc.x");
  // The right text one byte off its offset is not found.
  EXPECT_EQ(Probe(Image().Put(0xEC72, "08/15/05")), "");
}

// Probes run in order; a refused probe lets the next one answer.
TEST(BiosProbe, FirstAcceptedWins) {
  Image both;
  both.Put(0xEC71, "01/02/03").Put(0xF478, "62-0100-001169");
  EXPECT_EQ(Probe(both), "01/02/03");

  Image later;
  later.Put(0xEC71, "01-02-03").Put(0x7550, "1234567.abc.").Put(0x7196, "abcdefg.ijk.");
  EXPECT_EQ(Probe(later), "abcdefg.ijk.");
}

// Only printable ASCII is accepted, and the empty text never is.
TEST(BiosProbe, PrintableOnly) {
  EXPECT_EQ(Probe(Image().Put(0xEC71, "08/15/05\x7F")), "");
  EXPECT_EQ(Probe(Image().Put(0xEC71, "08/15/05\t")), "");
  EXPECT_EQ(Probe(Image().Put(0xEC71, "08/15/05 ~")), "08/15/05 ~");
  EXPECT_EQ(Probe(Image()), "");
}

// Long texts: at most 127 characters are read (an unterminated run is cut
// there), and at most 49 are reported.
TEST(BiosProbe, LengthLimits) {
  const std::string long_date = "08/15/05" + std::string(100, 'x');
  EXPECT_EQ(Probe(Image().Put(0xEC71, long_date)), long_date.substr(0, 49));

  Image unterminated;
  std::memset(unterminated.bytes.data() + 0xEC71, 'y', 200);
  std::memcpy(unterminated.bytes.data() + 0xEC71, "08/15/05", 8);
  EXPECT_EQ(Probe(unterminated), ("08/15/05" + std::string(41, 'y')));
}

// An image shorter than the probe offsets is read only within its size.
TEST(BiosProbe, ShortImage) {
  Image image;
  image.Put(0x6577, "Version.123.5");
  EXPECT_EQ(Probe(image, 0x6577 + 9), "");
  EXPECT_EQ(Probe(image, 0x6577 + 12), "Version.123.");
  EXPECT_EQ(Probe(image, 0x6000), "");
}

}  // namespace
