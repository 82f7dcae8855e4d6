// Any Content-Length text an HTTP server sends: a value is taken only when it
// is a plain decimal number of at most 1 MiB, and then it is that number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipc/http_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  uint32_t value = 0;
  const bool taken = ParseContentLength(text, size, &value);
  std::string digits;
  bool plain = true;
  for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
    if (text[i] < '0' || text[i] > '9') plain = false;
    digits.push_back(text[i]);
  }
  if (digits.empty()) plain = false;
  if (!plain) {
    if (taken) std::abort();
    return 0;
  }
  // Reference value, saturated so long digit strings do not overflow.
  uint64_t reference = 0;
  for (char c : digits) {
    reference = reference * 10 + static_cast<uint64_t>(c - '0');
    if (reference > kMaxAnnouncedBody) break;
  }
  if (taken != (reference <= kMaxAnnouncedBody)) std::abort();
  if (taken && value != reference) std::abort();
  return 0;
}
