// The engine log's line format, apart from the OS: stamp, module, thread name
// and message in, bytes of one line out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Local time of a line, as the OS reports it.
struct LogStamp {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
  int millisecond;
};

// Every line is built in a buffer of this size, its terminating NUL included.
constexpr size_t kLogLineBufferSize = 4096;

// Writes "[YYYY-MM-DD hh:mm:ss.mmm](module:thread) message\r\n" into `buffer`
// (`size` bytes, at least 3) and returns the line's length. A line that does not
// fit is cut to at most size - 1 bytes and still ends in CR LF, so the next line
// starts on a line of its own; the cut never leaves the first byte of a
// double-byte (GBK) character dangling. The buffer is always NUL-terminated.
size_t FormatLogLine(char* buffer, size_t size, const LogStamp& stamp, const char* module,
                     const char* thread_name, const char* message);

// The name a line gives a thread that the framework did not make:
// "Thread " followed by the identifier in unsigned decimal.
std::string FallbackThreadName(uint32_t thread_id);
