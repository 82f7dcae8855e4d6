#include "ipc/url_encode.h"

#include <cstring>

namespace {

bool IsKept(unsigned char byte) {
  if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
      (byte >= '0' && byte <= '9')) {
    return true;
  }
  return byte != '\0' && std::strchr("!$()*,-._", byte) != nullptr;
}

}  // namespace

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size() * 3);
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\0') break;
    if (IsKept(byte)) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}
