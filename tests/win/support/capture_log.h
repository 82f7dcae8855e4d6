// A log that keeps its lines, for tests of code that writes through g_log.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/log.h"

namespace zrvd_test {

// Keeps every line written through g_log with the thread that wrote it.
// Installed as g_log for the life of the object; safe from any thread.
class CaptureLog : public ILog {
 public:
  CaptureLog();
  ~CaptureLog() override;
  CaptureLog(const CaptureLog&) = delete;
  CaptureLog& operator=(const CaptureLog&) = delete;

  void Release() override {}
  void Write(const char* module, int32_t level, const char* message) override;

  std::vector<std::string> Lines();
  size_t Count(const std::string& line);
  bool Contains(const std::string& line) { return Count(line) > 0; }
  void Clear();
  // The lines written by the thread that wrote `marker` first.
  std::vector<std::string> ThreadLinesOf(const std::string& marker);

 private:
  struct Line {
    DWORD thread_id;
    std::string text;
  };

  std::mutex m_mutex;
  std::vector<Line> m_lines;
};

// The process-wide capture for tests whose threads outlive a test: made on
// first use and never destroyed, since such threads may still log while the
// process exits.
CaptureLog& Log();

}  // namespace zrvd_test
