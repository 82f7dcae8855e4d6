#include "httpserver/socket_io.h"

#include <windows.h>

#include "httpserver/head_scan.h"

namespace {

// True when the socket has something to read (data or its end) within the time.
bool WaitReadable(SOCKET socket, uint32_t timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval wait;
  wait.tv_sec = static_cast<long>(timeout_ms / 1000);
  wait.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
  return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

bool WaitWritable(SOCKET socket, uint32_t timeout_ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(socket, &writable);
  timeval wait;
  wait.tv_sec = static_cast<long>(timeout_ms / 1000);
  wait.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
  return select(0, nullptr, &writable, nullptr, &wait) > 0;
}

// A socket left non-blocking by its owner must not turn SendAll into a spin.
constexpr uint32_t kWouldBlockWaitMs = 60 * 1000;

}  // namespace

int32_t SendAll(SOCKET socket, const char* data, int32_t count) {
  int32_t sent = 0;
  while (sent < count) {
    const int result = send(socket, data + sent, count - sent, 0);
    if (result == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEWOULDBLOCK && WaitWritable(socket, kWouldBlockWaitMs)) continue;
      return sent;
    }
    sent += result;
  }
  return count;
}

std::string ReadRequestHead(SOCKET socket, const HeadReadLimits& limits) {
  std::string head;
  if (limits.idle_timeout_ms != 0 && !WaitReadable(socket, limits.idle_timeout_ms)) return head;
  const DWORD started = GetTickCount();
  // Peeking first lets the head be taken in a few calls and still leave the
  // bytes after its blank line in the socket.
  char buffer[4096];
  for (;;) {
    const DWORD elapsed = GetTickCount() - started;
    if (elapsed >= limits.head_timeout_ms ||
        !WaitReadable(socket, limits.head_timeout_ms - elapsed)) {
      return std::string();
    }
    size_t want = limits.max_head_bytes - head.size();
    if (want > sizeof(buffer)) want = sizeof(buffer);
    const int peeked = recv(socket, buffer, static_cast<int>(want), MSG_PEEK);
    if (peeked <= 0) return std::string();

    const HeadStep step =
        ScanRequestHead(head, buffer, static_cast<size_t>(peeked), limits.max_head_bytes);
    if (step.take == 0) return std::string();
    const int got = recv(socket, buffer, static_cast<int>(step.take), 0);
    if (got <= 0) return std::string();
    head.append(buffer, static_cast<size_t>(got));
    if (step.progress == HeadProgress::kComplete && static_cast<size_t>(got) == step.take) {
      return head;
    }
    if (head.size() >= limits.max_head_bytes) return std::string();
  }
}
