// UrlEncode of any bytes: only safe characters come out, and decoding gives the
// input back up to its first NUL.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ipc/url_encode.h"

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case never comes out
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string encoded = UrlEncode(input);
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '%') {
      if (i + 2 >= encoded.size()) std::abort();
      const int high = HexValue(encoded[i + 1]);
      const int low = HexValue(encoded[i + 2]);
      if (high < 0 || low < 0) std::abort();
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("!$()*,-._", c)) {
        std::abort();
      }
      decoded.push_back(c);
    }
  }
  if (decoded != input.substr(0, std::strlen(input.c_str()))) std::abort();
  return 0;
}
