// Blocking socket reads and writes of the HTTP server, shared with its handlers.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/unique_any.h"
#include "uploadpolicy/min_rate_rule.h"

// Sends the whole buffer; returns `count`, or the bytes sent before a hard
// error (a send time-out counts as one).
int32_t SendAll(SOCKET socket, const char* data, int32_t count);

// Hears how fast each watched answer of its thread goes, so that the server
// can close the slowest for a new connection at its bound.
class IAnswerWatcher {
 public:
  // The answer on `socket` took `taken` bytes over its last whole window of
  // sending time; told again as it goes on.
  virtual void Paced(SOCKET socket, uint64_t taken) = 0;
  // The answer that was paced is over; its socket is not yet closed.
  virtual void Ended() = 0;

 protected:
  ~IAnswerWatcher() = default;
};

// The rules a connection's answers are sent under: set by the connection for
// its thread; a handler called on another thread gets the defaults.
struct AnswerRules {
  uint32_t min_rate_window_ms;
  uint32_t min_rate_bytes;
  IAnswerWatcher* watcher;  // may be null
};
void SetThreadAnswerRules(const AnswerRules& rules);
AnswerRules ThreadAnswerRules();

// Puts `socket` in non-blocking mode for the rest of its life, once, and notes
// it for the calling thread, which serves that one socket (a connection thread).
// False when the mode cannot be set.
bool KeepNonBlocking(SOCKET socket);
// Whether the calling thread put `socket` in non-blocking mode.
bool IsKeptNonBlocking(SOCKET socket);

// One answer sent under the minimum-rate rule.
class WatchedAnswer {
 public:
  explicit WatchedAnswer(const AnswerRules& rules);
  ~WatchedAnswer();
  WatchedAnswer(const WatchedAnswer&) = delete;
  WatchedAnswer& operator=(const WatchedAnswer&) = delete;
  // Leaves a wait for a turn under the cap, begun at `since` (GetTickCount),
  // out of the answer's sending time.
  void ExcludeSince(DWORD since);
  // Sends the whole buffer on a non-blocking socket, waiting for room while
  // the peer keeps to the rule. Ends early (and logs it) when the peer is too
  // slow, or when `stop` turns true, or on an error. Returns `count`, or the
  // bytes sent before it ended.
  int32_t Send(SOCKET socket, const char* data, int32_t count,
               const std::atomic<bool>* stop = nullptr);

 private:
  uint64_t NowMs() const { return GetTickCount() - m_started; }
  // Judges the last window; tells the watcher once a whole one has passed.
  bool TooSlow(SOCKET socket);

  const AnswerRules m_rules;
  const DWORD m_started;
  uint64_t m_taken = 0;
  MinRateRule m_rule;
  bool m_paced = false;  // the watcher has heard of this answer
};

struct HeadReadLimits {
  size_t max_head_bytes;
  // How long to wait for the first byte of the head; 0 waits no separate time:
  // the head's own time then runs from the call.
  uint32_t idle_timeout_ms;
  // How long the whole head may take, counted from its first byte (or from the
  // call when there is no idle wait).
  uint32_t head_timeout_ms;
};

// Reads the request heads of one connection, one after another. Reads are
// blocking with a receive time-out, so that a head that arrives whole costs one
// call (on a socket kept non-blocking, an overlapped one); bytes past a head (a pipelined next request) wait in the reader for the
// next call. Used by one thread at a time.
class RequestHeadReader {
 public:
  // `socket` must stay open while the reader is used.
  explicit RequestHeadReader(SOCKET socket) : m_socket(socket) {}

  // One request head, "\r\n\r\n" included. Empty text when the peer closes, a
  // read fails, the head outgrows its bound, or a time runs out.
  std::string Read(const HeadReadLimits& limits);
  // Waits up to `timeout_ms` for the first bytes of the next head; true when
  // some are here. Read then runs the head's time from its call.
  bool WaitForBytes(uint32_t timeout_ms, size_t most);

 private:
  // Receives more bytes into m_pending within `timeout_ms`; false on failure.
  bool Receive(size_t most, uint32_t timeout_ms);
  bool ReceiveOverlapped(char* buffer, int wanted, uint32_t timeout_ms);

  SOCKET m_socket;
  std::string m_pending;
  uint32_t m_timeoutMs = 0;  // the socket's receive time-out now; 0: none set
  zrvd::unique_handle m_event;  // for receives once the socket is non-blocking
};
