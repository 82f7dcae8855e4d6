#include "ipc/http_answer.h"

bool IsAcceptedStatus(bool status_known, uint32_t status) {
  return !status_known || status / 100 == 2;
}

bool ParseContentLength(const char* text, size_t length, uint32_t* value) {
  uint64_t number = 0;
  size_t digits = 0;
  for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    // Checked at every digit, so the number never grows past 64 bits.
    if (number > kMaxAnnouncedBody) return false;
    ++digits;
  }
  if (digits == 0) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}
