#include "runtime/log_format.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr size_t kLineEndLength = sizeof(kLineEnd) - 1;

bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

// Appends as much of `text` as fits below `limit`; false when something was cut.
bool Append(char* buffer, size_t* length, size_t limit, const char* text) {
  size_t text_length = strlen(text);
  size_t room = limit - *length;
  size_t taken = text_length < room ? text_length : room;
  memcpy(buffer + *length, text, taken);
  *length += taken;
  return taken == text_length;
}

// The length of the longest prefix of buffer[0, length) that ends on a
// character boundary. GBK trail bytes overlap lead bytes, so only a walk from
// the start tells them apart.
size_t WholeCharacterLength(const char* buffer, size_t length) {
  size_t at = 0;
  while (at < length) {
    size_t width = IsGbkLeadByte(static_cast<unsigned char>(buffer[at])) ? 2 : 1;
    if (at + width > length) break;
    at += width;
  }
  return at;
}

}  // namespace

size_t FormatLogLine(char* buffer, size_t size, const LogStamp& stamp, const char* module,
                     const char* thread_name, const char* message) {
  // Room for the text once CR LF and the NUL are kept back.
  const size_t limit = size - kLineEndLength - 1;
  char stamp_text[64];
  snprintf(stamp_text, sizeof(stamp_text), "[%04d-%02d-%02d %02d:%02d:%02d.%03d]", stamp.year,
           stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second, stamp.millisecond);

  size_t length = 0;
  const char* const pieces[] = {stamp_text, "(", module, ":", thread_name, ") ", message};
  bool whole = true;
  for (const char* piece : pieces) {
    if (!Append(buffer, &length, limit, piece)) {
      whole = false;
      break;
    }
  }
  if (!whole) length = WholeCharacterLength(buffer, length);
  memcpy(buffer + length, kLineEnd, kLineEndLength + 1);
  return length + kLineEndLength;
}

std::string FallbackThreadName(uint32_t thread_id) {
  return "Thread " + std::to_string(thread_id);
}
