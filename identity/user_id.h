// The user identifier text made from the 16-byte machine fingerprint.
#pragma once

#include <cstdint>
#include <string>

// The digest read as four little-endian 32-bit words, each printed "%08X":
// bytes 01 23 45 67 ... give "67452301...". 32 upper-case hex digits.
std::string FormatUserId(const uint8_t fingerprint[16]);
