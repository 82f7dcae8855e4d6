#include "tests/win/support/capture_log.h"

#include "runtime/globals.h"

namespace zrvd_test {

CaptureLog::CaptureLog() { g_log = this; }

CaptureLog::~CaptureLog() {
  if (g_log == this) g_log = nullptr;
}

void CaptureLog::Write(const char*, int32_t, const char* message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.push_back({GetCurrentThreadId(), message});
}

std::vector<std::string> CaptureLog::Lines() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> texts;
  for (const Line& line : m_lines) texts.push_back(line.text);
  return texts;
}

size_t CaptureLog::Count(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t count = 0;
  for (const Line& kept : m_lines) count += kept.text == line;
  return count;
}

void CaptureLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
}

std::vector<std::string> CaptureLog::ThreadLinesOf(const std::string& marker) {
  std::lock_guard<std::mutex> lock(m_mutex);
  DWORD thread_id = 0;
  for (const Line& line : m_lines) {
    if (line.text == marker) {
      thread_id = line.thread_id;
      break;
    }
  }
  std::vector<std::string> texts;
  for (const Line& line : m_lines) {
    if (thread_id != 0 && line.thread_id == thread_id) texts.push_back(line.text);
  }
  return texts;
}

CaptureLog& Log() {
  static CaptureLog* log = new CaptureLog;
  return *log;
}

}  // namespace zrvd_test
