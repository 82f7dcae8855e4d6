// Blocking socket reads and writes of the HTTP server, shared with its handlers.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Sends the whole buffer; returns `count`, or the bytes sent before a hard
// error (a send time-out counts as one).
int32_t SendAll(SOCKET socket, const char* data, int32_t count);

// Sends the whole buffer on a non-blocking socket. Waits for room as long as the
// socket keeps taking bytes: only `stall_ms` without a single byte taken ends it
// (0: no limit), or `stop` turning true. Returns `count`, or the bytes sent
// before it ended.
int32_t SendWhileProgressing(SOCKET socket, const char* data, int32_t count, uint32_t stall_ms,
                             const std::atomic<bool>* stop = nullptr);

// Puts a blocking socket in non-blocking mode for one scope, and back after.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(SOCKET socket);
  ~NonBlockingScope();
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;
  bool active() const { return m_active; }

 private:
  SOCKET m_socket;
  bool m_active;
};

// The socket's send time-out in milliseconds (0: none), as its connection set it
// before the first call on this thread.
uint32_t SendTimeoutOf(SOCKET socket);

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
// call; bytes past a head (a pipelined next request) wait in the reader for the
// next call. Used by one thread at a time.
class RequestHeadReader {
 public:
  // `socket` must stay open while the reader is used.
  explicit RequestHeadReader(SOCKET socket) : m_socket(socket) {}

  // One request head, "\r\n\r\n" included. Empty text when the peer closes, a
  // read fails, the head outgrows its bound, or a time runs out.
  std::string Read(const HeadReadLimits& limits);

 private:
  // Receives more bytes into m_pending within `timeout_ms`; false on failure.
  bool Receive(size_t most, uint32_t timeout_ms);

  SOCKET m_socket;
  std::string m_pending;
  uint32_t m_timeoutMs = 0;  // the socket's receive time-out now; 0: none set
};
