#include "httpserver/socket_io.h"

#include <windows.h>

#include "httpserver/head_scan.h"
#include "httpserver/http_limits.h"

namespace {

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

int32_t SendWhileProgressing(SOCKET socket, const char* data, int32_t count, uint32_t stall_ms,
                             const std::atomic<bool>* stop) {
  int32_t sent = 0;
  DWORD last_progress = GetTickCount();
  while (sent < count) {
    const int result = send(socket, data + sent, count - sent, 0);
    if (result > 0) {
      sent += result;
      last_progress = GetTickCount();
      continue;
    }
    if (result == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return sent;
    if (stop && stop->load()) return sent;
    const DWORD waited = GetTickCount() - last_progress;
    if (stall_ms != 0 && waited >= stall_ms) return sent;
    // Waits in slices: a socket may take bytes again before it reports itself
    // writable, and every byte taken is progress.
    uint32_t slice = http_limits::kSendPollMs;
    if (stall_ms != 0 && stall_ms - waited < slice) slice = stall_ms - waited;
    WaitWritable(socket, slice);
  }
  return count;
}

NonBlockingScope::NonBlockingScope(SOCKET socket) : m_socket(socket) {
  u_long on = 1;
  m_active = ioctlsocket(m_socket, FIONBIO, &on) == 0;
}

NonBlockingScope::~NonBlockingScope() {
  if (!m_active) return;
  u_long off = 0;
  ioctlsocket(m_socket, FIONBIO, &off);
}

uint32_t SendTimeoutOf(SOCKET socket) {
  // A connection thread serves one socket, whose time-out its connection set
  // once: asked once per thread, not on every long answer (a server round trip).
  static thread_local SOCKET known_socket = INVALID_SOCKET;
  static thread_local uint32_t known_timeout = 0;
  if (socket == known_socket) return known_timeout;
  DWORD value = 0;
  int size = sizeof(value);
  if (getsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&value), &size) != 0) {
    return http_limits::kSendTimeoutMs;
  }
  known_socket = socket;
  known_timeout = value;
  return value;
}

bool RequestHeadReader::Receive(size_t most, uint32_t timeout_ms) {
  // A time-out of 0 would mean none at all: the time is up.
  if (timeout_ms == 0) return false;
  if (timeout_ms != m_timeoutMs) {
    const DWORD value = timeout_ms;
    if (setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                   sizeof(value)) != 0) {
      return false;
    }
    m_timeoutMs = timeout_ms;
  }
  char buffer[4096];
  const int wanted = static_cast<int>(most < sizeof(buffer) ? most : sizeof(buffer));
  const int got = recv(m_socket, buffer, wanted, 0);
  if (got <= 0) return false;
  m_pending.append(buffer, static_cast<size_t>(got));
  return true;
}

std::string RequestHeadReader::Read(const HeadReadLimits& limits) {
  std::string head;
  DWORD head_started = GetTickCount();
  bool waiting_idle = limits.idle_timeout_ms != 0;
  for (;;) {
    if (!m_pending.empty()) {
      waiting_idle = false;
      const HeadStep step =
          ScanRequestHead(head, m_pending.data(), m_pending.size(), limits.max_head_bytes);
      head.append(m_pending, 0, step.take);
      m_pending.erase(0, step.take);
      if (step.progress == HeadProgress::kComplete) return head;
      if (step.progress == HeadProgress::kTooLarge) return std::string();
    }
    uint32_t timeout_ms = limits.idle_timeout_ms;
    if (!waiting_idle) {
      const DWORD elapsed = GetTickCount() - head_started;
      timeout_ms = elapsed < limits.head_timeout_ms ? limits.head_timeout_ms - elapsed : 0;
    }
    if (!Receive(limits.max_head_bytes - head.size(), timeout_ms)) return std::string();
    // The head's own time runs from its first byte.
    if (waiting_idle) head_started = GetTickCount();
  }
}
