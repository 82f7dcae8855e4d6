#include "identity/bios_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Image {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(65535, 0);
  Image& Put(size_t offset, const std::string& text) {
    std::memcpy(bytes.data() + offset, text.c_str(), text.size() + 1);
    return *this;
  }
  // The accepted text, or "" when no probe matched.
  std::string Probe(size_t size = 65535) const {
    uint8_t text[kBiosTextSize];
    size_t length = 999;
    if (!ProbeBiosImage(bytes.data(), size, text, &length)) return "";
    return std::string(reinterpret_cast<char*>(text), length);
  }
};

// Each offset with its pattern (positions count from 1), in probe order.
TEST(BiosProbe, OffsetsPatternsAndOrder) {
  EXPECT_EQ(Image().Put(0xEC71, "08/15/05").Probe(), "08/15/05");
  EXPECT_EQ(Image().Put(0xEC72, "08/15/05").Probe(), "");
  EXPECT_EQ(Image().Put(0xF478, "08-15-2005").Probe(), "");
  EXPECT_EQ(Image().Put(0xF478, "62-0100-001169").Probe(), "62-0100-001169");
  EXPECT_EQ(Image().Put(0x6577, "BIOS v 1.02.03").Probe(), "");
  EXPECT_EQ(Image().Put(0x6577, "Version.123.5").Probe(), "Version.123.5");
  EXPECT_EQ(Image().Put(0x7550, "1234567.abc.x").Probe(), "1234567.abc.x");
  EXPECT_EQ(Image().Put(0xEC71, "01/02/03").Put(0xF478, "62-0100-001169").Probe(), "01/02/03");
  EXPECT_EQ(Image().Put(0xEC71, "01-02-03").Put(0x7550, "1234567.abc.")
                .Put(0x7196, "abcdefg.ijk.").Probe(),
            "abcdefg.ijk.");
}

// Only printable ASCII passes; at most 127 characters are read and 49 reported.
TEST(BiosProbe, CharactersAndLengths) {
  EXPECT_EQ(Image().Put(0xEC71, "08/15/05\x7F").Probe(), "");
  EXPECT_EQ(Image().Put(0xEC71, "08/15/05\t").Probe(), "");
  EXPECT_EQ(Image().Put(0xEC71, "08/15/05 ~").Probe(), "08/15/05 ~");
  const std::string long_date = "08/15/05" + std::string(100, 'x');
  EXPECT_EQ(Image().Put(0xEC71, long_date).Probe(), long_date.substr(0, 49));

  Image unterminated;
  std::memset(unterminated.bytes.data() + 0xEC71, 'y', 200);
  std::memcpy(unterminated.bytes.data() + 0xEC71, "08/15/05", 8);
  EXPECT_EQ(unterminated.Probe(), "08/15/05" + std::string(41, 'y'));
}

// A short image is read only within its size.
TEST(BiosProbe, ShortImage) {
  Image image;
  image.Put(0x6577, "Version.123.5");
  EXPECT_EQ(image.Probe(0x6577 + 9), "");
  EXPECT_EQ(image.Probe(0x6577 + 12), "Version.123.");
  EXPECT_EQ(image.Probe(0x6000), "");
}

}  // namespace
