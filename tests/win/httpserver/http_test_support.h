// What the server tests share: a thread manager of their own, a log that keeps
// its lines, and a loopback peer.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "httpserver/http_interfaces.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace http_test {

// Runs handlers on real threads with auto-delete, as the engine's manager does,
// refusing names already registered. Can be told to refuse names on purpose.
class TestThreadManager : public IThreadManager {
 public:
  void Release() override {}
  IThread* NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                     int32_t user_value) override;
  ~TestThreadManager() override = default;

  // The next `count` requests for a name beginning with `prefix` are refused.
  void RefuseNext(const std::string& prefix, int count);
  bool IsRegistered(const std::string& name);
  void Unregister(const std::string& name);
  uint32_t LastStackReserve();
  void NoteStackReserve(uint32_t bytes);

 private:
  std::mutex m_lock;
  std::set<std::string> m_names;
  std::string m_refusePrefix;
  int m_refuseCount = 0;
  uint32_t m_lastStackReserve = 0;
};

struct LogLine {
  DWORD thread_id;
  std::string text;
};

// Keeps every line written through g_log, with the writing thread.
class CaptureLog : public ILog {
 public:
  void Release() override {}
  void Write(const char* module, int32_t level, const char* message) override;
  ~CaptureLog() override = default;

  std::vector<LogLine> Lines();
  void Clear();
  bool Contains(const std::string& text);
  // The texts written by the thread that wrote `marker` first.
  std::vector<std::string> ThreadLinesOf(const std::string& marker);

 private:
  std::mutex m_lock;
  std::vector<LogLine> m_lines;
};

// The process-wide capture, installed as g_log on first use (never destroyed:
// connection threads may still log while the process exits).
CaptureLog& Log();

// Formats like the logger does, for comparing lines.
std::string Format(const char* format, ...);

// A handler made of a function.
class FunctionHandler : public IHttpHandler {
 public:
  explicit FunctionHandler(std::function<int32_t(IHttpRequest*, SOCKET)> function)
      : m_function(std::move(function)) {}
  void Release() override { delete this; }
  int32_t HandleRequest(IHttpRequest* request, SOCKET socket) override {
    return m_function(request, socket);
  }

 private:
  std::function<int32_t(IHttpRequest*, SOCKET)> m_function;
};

// A connected loopback peer. Every read gives up after `timeout_ms`.
zrvd::unique_socket Connect(int port, DWORD timeout_ms = 10000);
void SendText(SOCKET socket, const std::string& text);
// Reads up to and including "\r\n\r\n"; what came before the end otherwise.
std::string ReadHead(SOCKET socket);
std::string ReadExactly(SOCKET socket, size_t count);
// Everything until the server closes (or the read times out).
std::string ReadToEnd(SOCKET socket);
// True when the server has closed the connection: a read returns end or reset.
bool ServerClosed(SOCKET socket);

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms = 10000);

// The value of a header line in an answer head, or empty text.
std::string HeaderValue(const std::string& head, const std::string& name);

}  // namespace http_test
