#include "httpserver/socket_io.h"

#include <windows.h>

#include "httpserver/head_scan.h"
#include "httpserver/http_limits.h"
#include "httpserver/http_log_text.h"
#include "runtime/log.h"

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

namespace {
thread_local AnswerRules t_rules = {http_limits::kMinRateWindowMs, http_limits::kMinRateBytes,
                                    nullptr};
thread_local SOCKET t_nonBlockingSocket = INVALID_SOCKET;
}  // namespace

void SetThreadAnswerRules(const AnswerRules& rules) { t_rules = rules; }

AnswerRules ThreadAnswerRules() { return t_rules; }

bool KeepNonBlocking(SOCKET socket) {
  if (t_nonBlockingSocket == socket) return true;
  u_long on = 1;
  if (ioctlsocket(socket, FIONBIO, &on) != 0) return false;
  t_nonBlockingSocket = socket;
  return true;
}

bool IsKeptNonBlocking(SOCKET socket) { return t_nonBlockingSocket == socket; }

WatchedAnswer::WatchedAnswer(const AnswerRules& rules)
    : m_rules(rules),
      m_started(GetTickCount()),
      m_rule(rules.min_rate_window_ms, rules.min_rate_bytes, 0) {}

WatchedAnswer::~WatchedAnswer() {
  if (m_paced) m_rules.watcher->Ended();
}

bool WatchedAnswer::TooSlow(SOCKET socket) {
  const bool slow = m_rule.TooSlow(NowMs());
  if (m_rules.watcher != nullptr && m_rule.Judged()) {
    m_rules.watcher->Paced(socket, m_rule.TakenInWindow());
    m_paced = true;
  }
  return slow;
}

void WatchedAnswer::ExcludeSince(DWORD since) { m_rule.Exclude(GetTickCount() - since); }

int32_t WatchedAnswer::Send(SOCKET socket, const char* data, int32_t count,
                            const std::atomic<bool>* stop) {
  int32_t sent = 0;
  while (sent < count) {
    const int result = send(socket, data + sent, count - sent, 0);
    if (result > 0) {
      sent += result;
      m_taken += static_cast<uint64_t>(result);
      m_rule.Took(m_taken, NowMs());
      TooSlow(socket);
      continue;
    }
    if (result == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return sent;
    if (stop && stop->load()) return sent;
    if (TooSlow(socket)) {
      LogInfo(http_log::kTooSlow, static_cast<unsigned>(m_rule.TakenInWindow()),
              static_cast<unsigned>(m_rules.min_rate_window_ms / 1000),
              static_cast<unsigned>(m_rules.min_rate_bytes));
      return sent;
    }
    // Waits in slices: a socket may take bytes again before it reports itself
    // writable, and every byte taken counts.
    WaitWritable(socket, http_limits::kSendPollMs);
  }
  return count;
}

bool RequestHeadReader::Receive(size_t most, uint32_t timeout_ms) {
  // A time-out of 0 would mean none at all: the time is up.
  if (timeout_ms == 0) return false;
  char buffer[4096];
  const int wanted = static_cast<int>(most < sizeof(buffer) ? most : sizeof(buffer));
  if (IsKeptNonBlocking(m_socket)) return ReceiveOverlapped(buffer, wanted, timeout_ms);
  if (timeout_ms != m_timeoutMs) {
    const DWORD value = timeout_ms;
    if (setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                   sizeof(value)) != 0) {
      return false;
    }
    m_timeoutMs = timeout_ms;
  }
  const int got = recv(m_socket, buffer, wanted, 0);
  if (got <= 0) return false;
  m_pending.append(buffer, static_cast<size_t>(got));
  return true;
}

bool RequestHeadReader::ReceiveOverlapped(char* buffer, int wanted, uint32_t timeout_ms) {
  // An overlapped receive waits as a blocking one does, whatever the socket's
  // mode, and as cheaply: no readiness poll before it.
  if (!m_event) m_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!m_event) return false;
  WSABUF piece = {static_cast<u_long>(wanted), buffer};
  WSAOVERLAPPED overlapped = {};
  overlapped.hEvent = m_event.get();
  DWORD got = 0;
  DWORD flags = 0;
  if (WSARecv(m_socket, &piece, 1, &got, &flags, &overlapped, nullptr) != 0) {
    if (WSAGetLastError() != WSA_IO_PENDING) return false;
    if (WaitForSingleObject(m_event.get(), timeout_ms) != WAIT_OBJECT_0) {
      // The buffer is on this stack: the receive must be over before it goes.
      CancelIo(reinterpret_cast<HANDLE>(m_socket));
      WSAGetOverlappedResult(m_socket, &overlapped, &got, TRUE, &flags);
      return false;
    }
    if (!WSAGetOverlappedResult(m_socket, &overlapped, &got, FALSE, &flags)) return false;
  }
  if (got == 0) return false;
  m_pending.append(buffer, got);
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

bool RequestHeadReader::WaitForBytes(uint32_t timeout_ms, size_t most) {
  return !m_pending.empty() || Receive(most, timeout_ms);
}
