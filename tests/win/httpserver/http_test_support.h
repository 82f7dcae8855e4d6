// What the server tests share: a loopback peer and a handler made of a function,
// besides the log capture and thread manager every Windows test has.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/unique_any.h"
#include "httpserver/http_interfaces.h"
#include "tests/win/support/capture_log.h"
#include "tests/win/support/test_threads.h"
#include "uploadpolicy/upload_gate.h"

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

// An upload policy of the test's own: nothing paused, capped or refused unless
// the test says so; counts what the server tells it.
class FakeUploadGate : public IUploadGate {
 public:
  bool IsLanPeer(uint32_t address) override { return address == lan_peer.load(); }
  bool Paused() override { return paused.load(); }
  const std::atomic<bool>* PausedFlag() override { return &paused; }
  bool InternetRefused() override { return refused.load(); }
  uint32_t RetryAfter() override { return retry_after; }
  const std::atomic<bool>* InternetStopFlag() override { return &refused; }
  bool LanUncapped() override { return true; }
  uint32_t Acquire(uint32_t want, bool, uint32_t) override { return paused ? 0 : want; }
  uint32_t InternetTurn(uint32_t want) override { return want; }
  void AddSent(bool lan, uint64_t, uint64_t bytes) override {
    (lan ? lan_bytes : internet_bytes) += bytes;
  }
  void AddServedRequest() override { ++served_requests; }
  void AddServedBytes(const std::string&, const std::string&, uint64_t bytes) override {
    served_bytes += bytes;
  }

  std::atomic<uint32_t> lan_peer{INADDR_LOOPBACK};  // the one LAN address (host order)
  std::atomic<bool> paused{false};
  std::atomic<bool> refused{false};
  std::atomic<uint32_t> retry_after{0};
  std::atomic<uint64_t> lan_bytes{0}, internet_bytes{0}, served_requests{0}, served_bytes{0};
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
