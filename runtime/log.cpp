#include "runtime/log.h"

#include <cstdarg>
#include <cstdio>

#include "runtime/globals.h"

namespace {

constexpr char kModule[] = "P2PClient";
constexpr size_t kMessageBufferSize = 4096;

void WriteFormatted(int32_t level, const char* format, va_list args) {
  if (g_logOff) return;
  char buffer[kMessageBufferSize];
  // _vsnprintf leaves the buffer unterminated when the text is cut.
  _vsnprintf(buffer, sizeof(buffer) - 1, format, args);
  buffer[sizeof(buffer) - 1] = '\0';
  if (ILog* log = g_log) log->Write(kModule, level, buffer);
}

}  // namespace

void LogMessage(int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteFormatted(level, format, args);
  va_end(args);
}

void LogInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteFormatted(kLogNormal, format, args);
  va_end(args);
}
