#include "identity/serial_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// IDENTIFY data whose serial field (words 10-19) reads `serial` as the drive
// stores it: two characters per word, the first in the high byte.
std::vector<uint8_t> IdentifyWithSerial(const std::string& serial) {
  std::vector<uint8_t> identify(512, 0xAB);
  std::string padded = serial;
  padded.resize(20, ' ');
  for (size_t i = 0; i < 20; i += 2) {
    identify[20 + i] = static_cast<uint8_t>(padded[i + 1]);  // low byte
    identify[20 + i + 1] = static_cast<uint8_t>(padded[i]);  // high byte
  }
  return identify;
}

// The leftover bytes: twelve spaces then eight S give S x8, four spaces, S x8.
TEST(TrimSerialText, LeftoverBytesStay) {
  char buffer[49] = {};
  std::memcpy(buffer, "            SSSSSSSS", 20);
  TrimSerialText(buffer, sizeof(buffer), AsciiAlnum);
  EXPECT_EQ(Bytes(buffer, 21), std::string("SSSSSSSS    SSSSSSSS") + '\0');
  EXPECT_EQ(Bytes(buffer + 21, 28), std::string(28, '\0'));
}

// Trailing non-alphanumerics become zeros; inner ones stay; an all-punctuation
// text is left as it was.
TEST(TrimSerialText, EndsAndInnerCharacters) {
  char trailing[16] = "AB-12 .,";
  TrimSerialText(trailing, sizeof(trailing), AsciiAlnum);
  EXPECT_EQ(Bytes(trailing, 9), Bytes("AB-12\0\0\0\0", 9));

  char both[16] = "--X--";
  TrimSerialText(both, sizeof(both), AsciiAlnum);
  EXPECT_EQ(Bytes(both, 6), Bytes("X-X\0\0\0", 6));

  char nothing[16] = " - ";
  TrimSerialText(nothing, sizeof(nothing), AsciiAlnum);
  EXPECT_EQ(Bytes(nothing, 4), Bytes(" - \0", 4));

  char unterminated[4] = {' ', 'A', 'B', ' '};
  TrimSerialText(unterminated, sizeof(unterminated), AsciiAlnum);
  EXPECT_EQ(Bytes(unterminated, 4), Bytes("ABB\0", 4));
}

// The character test is the caller's: a rule that also accepts '-' keeps dashes.
TEST(TrimSerialText, UsesCallersCharacterTest) {
  char buffer[16] = " -A1- ";
  TrimSerialText(buffer, sizeof(buffer),
                 [](char c) { return c == '-' || AsciiAlnum(c); });
  EXPECT_EQ(Bytes(buffer, 7), Bytes("-A1--\0\0", 7));
}

// Words are read high byte first; trailing pad spaces go; the leftover rule
// applies to leading spaces; the 49-byte result is zero beyond the text.
TEST(SerialFromIdentifyWords, ReadsSerialField) {
  uint8_t result[kDiskSerialSize];
  std::memset(result, 0x77, sizeof(result));
  std::vector<uint8_t> id = IdentifyWithSerial("WD-WCC4N1234567");
  SerialFromIdentifyWords(id.data(), result, AsciiAlnum);
  EXPECT_EQ(Bytes(result, 16), Bytes("WD-WCC4N1234567\0", 16));
  EXPECT_EQ(Bytes(result + 16, 33), std::string(33, '\0'));

  std::vector<uint8_t> leading = IdentifyWithSerial("            SSSSSSSS");
  SerialFromIdentifyWords(leading.data(), result, AsciiAlnum);
  EXPECT_EQ(Bytes(result, 21), std::string("SSSSSSSS    SSSSSSSS") + '\0');
  EXPECT_EQ(Bytes(result + 21, 28), std::string(28, '\0'));
}

// A zero byte inside the field ends the text; a field of spaces yields a text
// that no method accepts.
TEST(SerialFromIdentifyWords, ZeroByteAndBlankField) {
  uint8_t result[kDiskSerialSize];
  std::vector<uint8_t> id = IdentifyWithSerial("AB");
  id[20 + 2] = 'Z';  // word 11 low byte -> 4th character
  id[20 + 3] = 0;    // word 11 high byte -> 3rd character ends the text
  SerialFromIdentifyWords(id.data(), result, AsciiAlnum);
  EXPECT_EQ(Bytes(result, 3), Bytes("AB\0", 3));

  std::vector<uint8_t> blank = IdentifyWithSerial("");
  SerialFromIdentifyWords(blank.data(), result, AsciiAlnum);
  EXPECT_FALSE(AsciiAlnum(static_cast<char>(result[0])));
}

// The older driver's form: pairs swapped, trimmed in place in the result.
TEST(SerialFromIdentifyBytes, SwapsPairsAndTrims) {
  uint8_t field[20];
  const char stored[] = "  1Z2YA3B4  C5D6    ";  // as the drive stores it, pairs swapped
  std::memcpy(field, stored, 20);
  uint8_t result[kDiskSerialSize];
  std::memset(result, 0x55, sizeof(result));
  SerialFromIdentifyBytes(field, result, AsciiAlnum);
  // Swapped: "  Z1Y23A4B  5C6D    "; trimmed: 2 leading spaces leave 2 leftovers.
  EXPECT_EQ(Bytes(result, 21), Bytes("Z1Y23A4B  5C6D6D\0\0\0\0\0", 21));
  EXPECT_EQ(Bytes(result + 21, 28), std::string(28, '\0'));
}

// Groups of four: characters 3-4 decode before 1-2; upper case and other
// characters count as 0; zero bytes are dropped.
TEST(DecodeSwappedHex, GroupOrderAndDigits) {
  char out[64];
  const char text[] = "3158" "3342" "0000" "4100";
  EXPECT_EQ(DecodeSwappedHex(text, sizeof(text), out, sizeof(out)), 5u);
  EXPECT_EQ(std::string(out), "X1B3A");

  const char upper[] = "4A41";  // 'A' counts as 0: 0x40 then 0x41
  DecodeSwappedHex(upper, sizeof(upper), out, sizeof(out));
  EXPECT_EQ(std::string(out), "A@");

  const char letters[] = "6f6b";  // pair "6b" then "6f"
  DecodeSwappedHex(letters, sizeof(letters), out, sizeof(out));
  EXPECT_EQ(std::string(out), "ko");
}

// A short last group reads the terminator and the bytes after it, but never
// beyond the given extent.
TEST(DecodeSwappedHex, ShortLastGroupReadsPastTerminator) {
  char out[64];
  const char buffer[] = {'4', '1', '4', '2', '4', '3', '\0', '7', '\0'};
  // Two groups: "4142" -> 'B','A'; "43\0" + "7" -> pair "\0" "7" = 0x07, then "43".
  EXPECT_EQ(DecodeSwappedHex(buffer, sizeof(buffer), out, sizeof(out)), 4u);
  EXPECT_EQ(std::string(out), std::string("BA\x07") + "C");

  // The same bytes with the extent ending at the terminator: the '7' is not read.
  EXPECT_EQ(DecodeSwappedHex(buffer, 7, out, sizeof(out)), 3u);
  EXPECT_EQ(std::string(out), "BAC");

  // An empty text still reads one group.
  const char empty[] = {'\0', '\0', '3', '1'};
  EXPECT_EQ(DecodeSwappedHex(empty, sizeof(empty), out, sizeof(out)), 1u);
  EXPECT_EQ(std::string(out), "1");
}

// The output never exceeds its buffer, however long the text.
TEST(DecodeSwappedHex, OutputIsBounded) {
  std::string text(4000, '4');
  char out[10];
  std::memset(out, 0x7F, sizeof(out));
  EXPECT_EQ(DecodeSwappedHex(text.c_str(), text.size() + 1, out, sizeof(out)), 9u);
  EXPECT_EQ(std::string(out), std::string(9, 'D'));
}

std::vector<uint8_t> Descriptor(uint32_t serial_offset, const std::string& serial) {
  std::vector<uint8_t> d(10000, 0);
  d[24] = static_cast<uint8_t>(serial_offset);
  d[25] = static_cast<uint8_t>(serial_offset >> 8);
  d[26] = static_cast<uint8_t>(serial_offset >> 16);
  d[27] = static_cast<uint8_t>(serial_offset >> 24);
  if (serial_offset && serial_offset < d.size())
    std::memcpy(d.data() + serial_offset, serial.c_str(), serial.size() + 1);
  return d;
}

// The descriptor's serial is decoded, trimmed and accepted by its first character;
// an offset of 0 or past the answer is refused.
TEST(StorageSerial, DescriptorSerial) {
  char working[1000] = {};
  // "2020" "4157" "3133" "2020": spaces, "WA", "31", spaces after swapping.
  std::vector<uint8_t> d = Descriptor(64, "2020" "5741" "3331" "2020");
  EXPECT_TRUE(SerialFromStorageDescriptor(d.data(), d.size(), working, sizeof(working),
                                          AsciiAlnum));
  EXPECT_EQ(Bytes(working, 8), Bytes("AW1313\0\0", 8));

  char unused[1000] = {};
  std::vector<uint8_t> none = Descriptor(0, "");
  EXPECT_FALSE(SerialFromStorageDescriptor(none.data(), none.size(), unused, sizeof(unused),
                                           AsciiAlnum));
  std::vector<uint8_t> outside = Descriptor(20000, "");
  EXPECT_FALSE(SerialFromStorageDescriptor(outside.data(), outside.size(), unused,
                                           sizeof(unused), AsciiAlnum));
  std::vector<uint8_t> punct = Descriptor(40, "2d2d");
  EXPECT_FALSE(SerialFromStorageDescriptor(punct.data(), punct.size(), unused, sizeof(unused),
                                           AsciiAlnum));
}

// The media serial try reuses the working buffer uncleared: bytes of a refused
// first try beyond the new text stay and become part of the serial.
TEST(StorageSerial, MediaSerialKeepsFirstTrysBytes) {
  char working[1000] = {};
  // The first try decodes to six dashes: nothing to accept, left as it is.
  std::vector<uint8_t> d = Descriptor(64, "2d2d" "2d2d" "2d2d");
  EXPECT_FALSE(SerialFromStorageDescriptor(d.data(), d.size(), working, sizeof(working),
                                           AsciiAlnum));
  EXPECT_EQ(std::string(working), "------");

  std::vector<uint8_t> media(10000, 0);
  std::memcpy(media.data() + 16, "M7", 3);
  EXPECT_TRUE(SerialFromMediaSerial(media.data(), media.size(), working, sizeof(working),
                                    AsciiAlnum));
  EXPECT_EQ(Bytes(working, 8), Bytes("M7\0---\0\0", 8));
}

// A media serial longer than the working buffer is cut, not overrun.
TEST(StorageSerial, MediaSerialIsBounded) {
  std::vector<uint8_t> media(3000, 'Q');
  media.back() = 0;
  std::vector<char> working(100 + 8, 0x11);
  EXPECT_TRUE(SerialFromMediaSerial(media.data(), media.size(), working.data(), 100,
                                    AsciiAlnum));
  EXPECT_EQ(std::string(working.data()), std::string(99, 'Q'));
  EXPECT_EQ(working[100], 0x11);
}

}  // namespace
