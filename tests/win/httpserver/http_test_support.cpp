#include "http_test_support.h"

#include <cstdarg>
#include <cstdio>

#include "runtime/globals.h"
#include "tests/win/inert_thread.h"

namespace http_test {

namespace {

// The server never posts to, suspends or waits for its threads: those slots stay inert.
class TestThread : public zrvd_test::InertThread {
 public:
  TestThread(TestThreadManager* manager, IThreadHandler* handler, std::string name,
             bool auto_delete)
      : m_manager(manager), m_handler(handler), m_name(std::move(name)), m_autoDelete(auto_delete) {}

  int32_t Start() override {
    DWORD flags = m_stackReserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    m_manager->NoteStackReserve(m_stackReserve);
    // With auto-delete the thread may finish and delete this object at once.
    HANDLE thread = CreateThread(nullptr, m_stackReserve, &Routine, this, flags, nullptr);
    if (thread != nullptr) CloseHandle(thread);
    return 0;
  }
  void SetStackReserve(uint32_t bytes) override { m_stackReserve = bytes; }

 private:
  static DWORD WINAPI Routine(void* parameter) {
    TestThread* self = static_cast<TestThread*>(parameter);
    const int32_t result = self->m_handler->Run();
    if (self->m_autoDelete) {
      self->m_handler->Release();
      self->m_manager->Unregister(self->m_name);
      delete self;
    }
    return static_cast<DWORD>(result);
  }

  TestThreadManager* m_manager;
  IThreadHandler* m_handler;
  std::string m_name;
  bool m_autoDelete;
  uint32_t m_stackReserve = 0;
};

}  // namespace

IThread* TestThreadManager::NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                                      int32_t) {
  std::lock_guard<std::mutex> lock(m_lock);
  const std::string text = name;
  if (m_refuseCount > 0 && text.compare(0, m_refusePrefix.size(), m_refusePrefix) == 0) {
    --m_refuseCount;
    return nullptr;
  }
  if (!m_names.insert(text).second) return nullptr;
  return new TestThread(this, handler, text, auto_delete);
}

void TestThreadManager::RefuseNext(const std::string& prefix, int count) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_refusePrefix = prefix;
  m_refuseCount = count;
}

bool TestThreadManager::IsRegistered(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_names.count(name) != 0;
}

void TestThreadManager::Unregister(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_names.erase(name);
}

uint32_t TestThreadManager::LastStackReserve() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lastStackReserve;
}

void TestThreadManager::NoteStackReserve(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_lastStackReserve = bytes;
}

void CaptureLog::Write(const char*, int32_t, const char* message) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_lines.push_back({GetCurrentThreadId(), message});
}

std::vector<LogLine> CaptureLog::Lines() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lines;
}

void CaptureLog::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_lines.clear();
}

bool CaptureLog::Contains(const std::string& text) {
  for (const LogLine& line : Lines()) {
    if (line.text == text) return true;
  }
  return false;
}

std::vector<std::string> CaptureLog::ThreadLinesOf(const std::string& marker) {
  std::vector<LogLine> lines = Lines();
  DWORD thread_id = 0;
  for (const LogLine& line : lines) {
    if (line.text == marker) {
      thread_id = line.thread_id;
      break;
    }
  }
  std::vector<std::string> texts;
  for (const LogLine& line : lines) {
    if (thread_id != 0 && line.thread_id == thread_id) texts.push_back(line.text);
  }
  return texts;
}

CaptureLog& Log() {
  static CaptureLog* log = [] {
    CaptureLog* created = new CaptureLog;
    g_log = created;
    return created;
  }();
  return *log;
}

std::string Format(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

zrvd::unique_socket Connect(int port, DWORD timeout_ms) {
  zrvd::unique_socket peer(socket(AF_INET, SOCK_STREAM, 0));
  setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
             sizeof(timeout_ms));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(port));
  if (connect(peer.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    peer.reset();
  }
  return peer;
}

void SendText(SOCKET socket, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const int result = send(socket, text.data() + sent, static_cast<int>(text.size() - sent), 0);
    if (result <= 0) return;
    sent += static_cast<size_t>(result);
  }
}

std::string ReadHead(SOCKET socket) {
  std::string head;
  char c;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (recv(socket, &c, 1, 0) != 1) break;
    head.push_back(c);
  }
  return head;
}

std::string ReadExactly(SOCKET socket, size_t count) {
  std::string data(count, '\0');
  size_t got = 0;
  while (got < count) {
    const int result = recv(socket, &data[got], static_cast<int>(count - got), 0);
    if (result <= 0) break;
    got += static_cast<size_t>(result);
  }
  data.resize(got);
  return data;
}

std::string ReadToEnd(SOCKET socket) {
  std::string data;
  char buffer[65536];
  for (;;) {
    const int result = recv(socket, buffer, sizeof(buffer), 0);
    if (result <= 0) break;
    data.append(buffer, static_cast<size_t>(result));
  }
  return data;
}

bool ServerClosed(SOCKET socket) {
  char c;
  const int result = recv(socket, &c, 1, 0);
  if (result == 0) return true;
  return result == SOCKET_ERROR && WSAGetLastError() != WSAETIMEDOUT;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(5);
  }
  return true;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t found = head.find(key);
  if (found == std::string::npos) return std::string();
  const size_t start = found + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace http_test
