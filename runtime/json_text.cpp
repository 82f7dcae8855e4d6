#include "runtime/json_text.h"

#include <cstdint>

std::string JsonString(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

namespace {

void AppendEscape(std::string* out, uint32_t unit) {
  static const char kHex[] = "0123456789abcdef";
  *out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) *out += kHex[(unit >> shift) & 15];
}

// The code point starting at text[*at], moving *at past it; U+FFFD (one byte
// consumed) for anything that is not the shortest UTF-8 of a scalar value.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
  const unsigned char lead = static_cast<unsigned char>(text[*at]);
  size_t length = 0;
  uint32_t point = 0;
  uint32_t least = 0;
  if (lead < 0x80) {
    ++*at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, point = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, point = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, point = lead & 0x07, least = 0x10000;
  }
  if (length == 0 || *at + length > text.size()) {
    ++*at;
    return 0xFFFD;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[*at + i]);
    if ((next & 0xC0) != 0x80) {
      ++*at;
      return 0xFFFD;
    }
    point = (point << 6) | (next & 0x3F);
  }
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    ++*at;
    return 0xFFFD;
  }
  *at += length;
  return point;
}

}  // namespace

std::string JsonStringUtf8(const std::string& utf8) {
  std::string out = "\"";
  size_t at = 0;
  while (at < utf8.size()) {
    const uint32_t point = NextCodePoint(utf8, &at);
    if (point == '"' || point == '\\') {
      out += '\\';
      out += static_cast<char>(point);
    } else if (point >= 0x20 && point < 0x7F) {
      out += static_cast<char>(point);
    } else if (point >= 0x10000) {
      AppendEscape(&out, 0xD800 + ((point - 0x10000) >> 10));
      AppendEscape(&out, 0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      AppendEscape(&out, point);
    }
  }
  return out + "\"";
}
