#include "identity/user_id.h"

#include <cstdio>

std::string FormatUserId(const uint8_t fingerprint[16]) {
  uint32_t words[4];
  for (int w = 0; w < 4; ++w) {
    const uint8_t* b = fingerprint + 4 * w;
    words[w] = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
               static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  }
  char text[260];
  std::snprintf(text, sizeof(text), "%08X%08X%08X%08X", static_cast<unsigned>(words[0]),
                static_cast<unsigned>(words[1]), static_cast<unsigned>(words[2]),
                static_cast<unsigned>(words[3]));
  return text;
}
