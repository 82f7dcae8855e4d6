#include "identity/serial_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

std::string Trimmed(std::string text, size_t size, AlnumTest is_alnum = AsciiAlnum) {
  text.resize(size, '\0');
  TrimSerialText(&text[0], size, is_alnum);
  return text;
}

// The leftover rule: twelve spaces then eight S give S x8, four spaces, S x8
// and the old terminator; trailing characters become zeros, inner ones stay; a
// text with nothing to keep is left as it was; the character test is the caller's.
TEST(TrimSerialText, LeftoversAndEnds) {
  EXPECT_EQ(Trimmed("            SSSSSSSS", 49),
            "SSSSSSSS    SSSSSSSS" + std::string(29, '\0'));
  EXPECT_EQ(Trimmed("AB-12 .,", 9), Bytes("AB-12\0\0\0\0", 9));
  EXPECT_EQ(Trimmed("--X--", 6), Bytes("X-X\0\0\0", 6));
  EXPECT_EQ(Trimmed(" - ", 4), Bytes(" - \0", 4));
  EXPECT_EQ(Trimmed(" AB ", 4), Bytes("ABB\0", 4)) << "unterminated within its size";
  EXPECT_EQ(Trimmed(" -A1- ", 7, [](char c) { return c == '-' || AsciiAlnum(c); }),
            Bytes("-A1--\0\0", 7));
}

// IDENTIFY data whose words 10-19 hold `serial` as a drive stores it: the
// first character of each pair in the word's high byte.
std::vector<uint8_t> IdentifyWithSerial(const std::string& serial) {
  std::vector<uint8_t> identify(512, 0xAB);
  std::string padded = serial;
  padded.resize(20, ' ');
  for (size_t i = 0; i < 20; i += 2) {
    identify[20 + i] = static_cast<uint8_t>(padded[i + 1]);
    identify[21 + i] = static_cast<uint8_t>(padded[i]);
  }
  return identify;
}

std::string FromIdentify(const std::vector<uint8_t>& identify) {
  uint8_t result[kDiskSerialSize];
  std::memset(result, 0x77, sizeof(result));
  SerialFromIdentifyWords(identify.data(), result, AsciiAlnum);
  return Bytes(result, sizeof(result));
}

// Words are read high byte first; pad spaces go, leading spaces leave their
// leftovers, and the 49 bytes are zero beyond; a zero byte ends the text.
TEST(SerialFromIdentifyWords, ReadsSerialField) {
  EXPECT_EQ(FromIdentify(IdentifyWithSerial("WD-WCC4N1234567")),
            "WD-WCC4N1234567" + std::string(34, '\0'));
  EXPECT_EQ(FromIdentify(IdentifyWithSerial("            SSSSSSSS")),
            "SSSSSSSS    SSSSSSSS" + std::string(29, '\0'));

  std::vector<uint8_t> with_zero = IdentifyWithSerial("ABCD");
  with_zero[23] = 0;  // the third character
  EXPECT_EQ(FromIdentify(with_zero), "AB" + std::string(47, '\0'));
  EXPECT_EQ(FromIdentify(IdentifyWithSerial("")).substr(0, 2), Bytes(" \0", 2));
}

std::string Decode(const char* text, size_t available, size_t out_size = 64) {
  std::vector<char> out(out_size, 0x7F);
  const size_t n = DecodeSwappedHex(text, available, out.data(), out.size());
  EXPECT_EQ(out[n], '\0');
  return std::string(out.data(), n);
}

// Characters 3-4 of each group decode before 1-2; upper case and other
// characters count as 0; zero bytes are dropped; the output is bounded.
TEST(DecodeSwappedHex, GroupsAndDigits) {
  EXPECT_EQ(Decode("3158" "3342" "0000" "4100", 17), "X1B3A");
  EXPECT_EQ(Decode("4A41", 5), "A@");
  EXPECT_EQ(Decode("6f6b", 5), "ko");
  const std::string long_text(4000, '4');
  EXPECT_EQ(Decode(long_text.c_str(), long_text.size() + 1, 10), std::string(9, 'D'));
}

// A short last group reads the terminator and what follows, never beyond the
// given extent; an empty text still reads one group.
TEST(DecodeSwappedHex, ShortLastGroup) {
  const char buffer[] = {'4', '1', '4', '2', '4', '3', '\0', '7', '\0'};
  EXPECT_EQ(Decode(buffer, sizeof(buffer)), std::string("BA\x07") + "C");
  EXPECT_EQ(Decode(buffer, 7), "BAC");
  const char empty[] = {'\0', '\0', '3', '1'};
  EXPECT_EQ(Decode(empty, sizeof(empty)), "1");
}

// Driver answers are read within their buffers: a serial offset at or past
// the end is refused, and a media serial longer than the working buffer is cut.
TEST(StorageSerial, AnswersStayInBounds) {
  std::vector<uint8_t> descriptor(64, 0);
  descriptor[24] = 64;
  char working[100] = {};
  EXPECT_FALSE(SerialFromStorageDescriptor(descriptor.data(), descriptor.size(), working,
                                           sizeof(working), AsciiAlnum));
  descriptor[24] = 63;
  descriptor[63] = '4';  // the group reads only this byte: '4' then zeros
  EXPECT_FALSE(SerialFromStorageDescriptor(descriptor.data(), descriptor.size(), working,
                                           sizeof(working), AsciiAlnum));

  std::vector<uint8_t> media(3000, 'Q');
  media.back() = 0;
  std::vector<char> guarded(108, 0x11);
  EXPECT_TRUE(SerialFromMediaSerial(media.data(), media.size(), guarded.data(), 100, AsciiAlnum));
  EXPECT_EQ(std::string(guarded.data()), std::string(99, 'Q'));
  EXPECT_EQ(guarded[100], 0x11);
}

}  // namespace
