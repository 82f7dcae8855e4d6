#include "tests/win/runtime/engine_test_support.h"

#include <cstdio>
#include <cstring>

#include "runtime/log.h"

namespace enginetest {

namespace {

bool IsDigits(const std::string& text, size_t at, size_t count) {
  if (at + count > text.size()) return false;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// "[YYYY-MM-DD hh:mm:ss.mmm]", digit by digit.
bool IsStamp(const std::string& line) {
  static const char kShape[] = "[dddd-dd-dd dd:dd:dd.ddd]";
  if (line.size() < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
    if (kShape[i] == 'd' ? !IsDigits(line, i, 1) : line[i] != kShape[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<LogLine> ParseLog(const std::string& bytes) {
  std::vector<LogLine> lines;
  static const char kHead[] = "(P2PClient:";
  const size_t stamp_length = 25;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated line at byte " << at;
      break;
    }
    std::string line = bytes.substr(at, end - at);
    at = end + 2;
    if (!IsStamp(line) || line.compare(stamp_length, strlen(kHead), kHead) != 0) {
      ADD_FAILURE() << "malformed line: " << line.substr(0, 120);
      continue;
    }
    size_t name_at = stamp_length + strlen(kHead);
    size_t close = line.find(") ", name_at);
    if (close == std::string::npos || line.find('\n') != std::string::npos ||
        line.find('\r') != std::string::npos) {
      ADD_FAILURE() << "malformed line: " << line.substr(0, 120);
      continue;
    }
    lines.push_back({line.substr(name_at, close - name_at), line.substr(close + 2)});
  }
  return lines;
}

std::vector<std::string> MessagesOf(const std::vector<LogLine>& lines, const std::string& thread) {
  std::vector<std::string> messages;
  for (const LogLine& line : lines) {
    if (line.thread == thread) messages.push_back(line.message);
  }
  return messages;
}

std::string OwnFallbackName() { return "Thread " + std::to_string(GetCurrentThreadId()); }

void RuntimeTest::SetUp() {
  m_logPath = m_folder.File("engine.log");
  m_runtime = new CPxpRuntime(m_logPath.c_str());
  g_runtime = m_runtime;
  g_log = m_runtime;
}

void RuntimeTest::TearDown() {
  g_log = nullptr;
  g_runtime = nullptr;
  m_runtime->Release();
}

bool RuntimeTest::IsRegistered(const char* name) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, ProbeHandler::Mode::kReturn);
  IThread* thread = m_runtime->NewThread(handler, name, false, 0);
  delete handler;
  if (thread == nullptr) return true;
  thread->Release();
  return false;
}

Probe::Probe()
    : in_run(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      gate(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

ProbeHandler::~ProbeHandler() {
  auto* runtime = static_cast<CPxpRuntime*>(g_runtime);
  if (runtime != nullptr) {
    m_probe->registered_at_release = runtime->FindThread(GetCurrentThreadId()) != nullptr;
  }
  ++m_probe->released;
}

int32_t ProbeHandler::Run() {
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                  m_probe->thread.put(), SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
  m_probe->thread_id = GetCurrentThreadId();
  switch (m_mode) {
    case Mode::kReturn:
      SetEvent(m_probe->in_run.get());
      break;
    case Mode::kWaitGate:
      SetEvent(m_probe->in_run.get());
      WaitForSingleObject(m_probe->gate.get(), INFINITE);
      break;
    case Mode::kMessageLoop:
      SetEvent(m_probe->in_run.get());
      m_probe->loop_result = thread->MessageLoop();
      break;
    case Mode::kRename:
      LogInfo("before rename");
      static_cast<CPxpRuntime*>(g_runtime)->SetThreadName(new_name.c_str());
      LogInfo("after rename");
      SetEvent(m_probe->in_run.get());
      WaitForSingleObject(m_probe->gate.get(), INFINITE);
      break;
  }
  return m_result;
}

int32_t ProbeHandler::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  MSG msg = {};
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  m_probe->messages.push_back(msg);
  return static_cast<int32_t>(message * 100 + wparam * 10 + lparam);
}

bool WaitEnded(HANDLE thread) { return WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0; }

}  // namespace enginetest
