// Blocking socket reads and writes of the HTTP server, shared with its handlers.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Sends the whole buffer; returns `count`, or the bytes sent before a hard
// error (a send time-out counts as one).
int32_t SendAll(SOCKET socket, const char* data, int32_t count);

struct HeadReadLimits {
  size_t max_head_bytes;
  // How long to wait for the first byte of the head; 0 waits no separate time:
  // the head's own time then runs from the call.
  uint32_t idle_timeout_ms;
  // How long the whole head may take, counted from its first byte (or from the
  // call when there is no idle wait).
  uint32_t head_timeout_ms;
};

// Reads one request head, "\r\n\r\n" included, and nothing after it. Empty text
// when the peer closes, a read fails, a limit is hit, or a time runs out.
std::string ReadRequestHead(SOCKET socket, const HeadReadLimits& limits);
