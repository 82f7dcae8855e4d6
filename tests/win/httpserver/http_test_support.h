// What the server tests share: a loopback peer and a handler made of a function,
// besides the log capture and thread manager every Windows test has.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/unique_any.h"
#include "httpserver/http_interfaces.h"
#include "tests/win/support/capture_log.h"
#include "tests/win/support/test_threads.h"

namespace http_test {

using zrvd_test::Log;
using zrvd_test::TestThreadManager;

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

// A connected loopback peer, from `from` (127.0.0.0/8, host order). Every read
// gives up after `timeout_ms`.
zrvd::unique_socket Connect(int port, DWORD timeout_ms = 10000, uint32_t from = INADDR_LOOPBACK);
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
