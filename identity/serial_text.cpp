#include "identity/serial_text.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr size_t kIdentifySerialChars = 20;
constexpr size_t kIdentifyWorkingSize = 1024;
constexpr size_t kDescriptorSerialOffsetField = 24;
constexpr size_t kMediaSerialDataOffset = 16;

size_t BoundedLength(const char* text, size_t size) {
  const void* end = std::memchr(text, 0, size);
  return end ? static_cast<size_t>(static_cast<const char*>(end) - text) : size;
}

// Upper-case digits count as 0: the drivers that use this form write lower case.
int SwappedHexDigit(char c) {
  if (c >= '1' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

bool AsciiAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

void TrimSerialText(char* buffer, size_t size, AlnumTest is_alnum) {
  const size_t length = BoundedLength(buffer, size);
  size_t start = 0;
  while (start < length && !is_alnum(buffer[start])) ++start;
  size_t end = length;
  while (end > start && !is_alnum(buffer[end - 1])) buffer[--end] = 0;
  if (start > 0) std::memmove(buffer, buffer + start, end - start);
}

void SerialFromIdentifyWords(const uint8_t* identify, uint8_t result[kDiskSerialSize],
                             AlnumTest is_alnum) {
  char text[kIdentifySerialChars + 1];
  for (size_t word = 10; word < 20; ++word) {
    const size_t at = 2 * (word - 10);
    text[at] = static_cast<char>(identify[2 * word + 1]);
    text[at + 1] = static_cast<char>(identify[2 * word]);
  }
  text[kIdentifySerialChars] = 0;
  for (size_t i = kIdentifySerialChars - 1; i > 0 && text[i] == ' '; --i) text[i] = 0;

  char working[kIdentifyWorkingSize] = {};
  std::memcpy(working, text, BoundedLength(text, sizeof(text)));
  TrimSerialText(working, sizeof(working), is_alnum);
  std::memcpy(result, working, kDiskSerialSize);
}

void SerialFromIdentifyBytes(const uint8_t serial_field[20], uint8_t result[kDiskSerialSize],
                             AlnumTest is_alnum) {
  std::memset(result, 0, kDiskSerialSize);
  for (size_t i = 0; i < kIdentifySerialChars; i += 2) {
    result[i] = serial_field[i + 1];
    result[i + 1] = serial_field[i];
  }
  TrimSerialText(reinterpret_cast<char*>(result), kDiskSerialSize, is_alnum);
}

size_t DecodeSwappedHex(const char* text, size_t available, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  auto at = [&](size_t i) -> char { return i < available ? text[i] : 0; };

  const size_t length = BoundedLength(text, available);
  // An empty text still reads one group: the terminator and what follows it.
  const size_t groups = length == 0 ? 1 : (length - 1) / 4 + 1;
  size_t written = 0;
  for (size_t g = 0; g < groups; ++g) {
    for (size_t first : {4 * g + 2, 4 * g}) {
      const int value = SwappedHexDigit(at(first)) * 16 + SwappedHexDigit(at(first + 1));
      if (value != 0 && written + 1 < out_size) out[written++] = static_cast<char>(value);
    }
  }
  out[written] = 0;
  return written;
}

bool SerialFromStorageDescriptor(const uint8_t* descriptor, size_t size, char* working,
                                 size_t working_size, AlnumTest is_alnum) {
  if (size < kDescriptorSerialOffsetField + 4) return false;
  const uint8_t* field = descriptor + kDescriptorSerialOffsetField;
  const size_t offset = static_cast<size_t>(field[0]) | static_cast<size_t>(field[1]) << 8 |
                        static_cast<size_t>(field[2]) << 16 |
                        static_cast<size_t>(field[3]) << 24;
  // A driver's offset is not trusted to lie inside what it returned.
  if (offset == 0 || offset >= size) return false;
  DecodeSwappedHex(reinterpret_cast<const char*>(descriptor + offset), size - offset, working,
                   working_size);
  TrimSerialText(working, working_size, is_alnum);
  return is_alnum(working[0]);
}

bool SerialFromMediaSerial(const uint8_t* answer, size_t size, char* working,
                           size_t working_size, AlnumTest is_alnum) {
  if (size <= kMediaSerialDataOffset || working_size == 0) return false;
  const char* text = reinterpret_cast<const char*>(answer + kMediaSerialDataOffset);
  size_t length = BoundedLength(text, size - kMediaSerialDataOffset);
  if (length >= working_size) length = working_size - 1;
  std::memcpy(working, text, length);
  working[length] = 0;
  TrimSerialText(working, working_size, is_alnum);
  return is_alnum(working[0]);
}
