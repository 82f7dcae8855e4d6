// MD5 message digest (RFC 1321) in the init, update, final form.
// A context belongs to one caller at a time; the functions keep no other state.
#pragma once

#include <cstdint>

// Plain record, fields in this order; callers clear it to zero before MD5Init.
struct MD5Context {
  uint32_t count[2];  // message length in bits modulo 2^64: low word, high word
  uint32_t state[4];  // A, B, C, D
  uint8_t buffer[64];  // the current partial block
  uint8_t digest[16];  // where callers usually ask MD5Final to write
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const uint8_t* data, uint32_t length);
// Pads, hashes the bit count and writes the 16 digest bytes to `digest`, which
// may be the context's own digest field.
void MD5Final(MD5Context* context, uint8_t digest[16]);
