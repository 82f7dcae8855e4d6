// The engine's log: one line per event, written through g_log.
#pragma once

#include <cstdint>

class ILog {
 public:
  virtual void Release() = 0;
  virtual void Write(const char* module, int32_t level, const char* message) = 0;
  virtual ~ILog() = default;
};

// Levels are written, never filtered.
constexpr int32_t kLogNormal = 1;
constexpr int32_t kLogNetFailure = 4;

// printf-style; formats into 4096 bytes and writes with module "P2PClient"
// when g_log is set, drops the text otherwise. Safe from any thread.
void LogMessage(int32_t level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void LogInfo(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
