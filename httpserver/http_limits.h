// Bounds the peer-facing server holds itself to. Peers are strangers: every
// resource a connection can hold on to is bounded here, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace http_limits {

// A request head never legitimately comes near this; more is an attack or junk.
constexpr size_t kMaxHeadBytes = 16 * 1024;
// A peer that dribbles its head keeps a thread and a connection slot busy.
constexpr uint32_t kHeadTimeoutMs = 30 * 1000;
// An idle keep-alive connection holds a thread; peers reconnect cheaply.
constexpr uint32_t kIdleTimeoutMs = 60 * 1000;
// The send time-out of a blocking send (a short answer, a 404): the socket
// buffer takes those whole, so only a peer that reads nothing meets it.
constexpr uint32_t kSendTimeoutMs = 60 * 1000;
// A peer that took fewer than kMinRateBytes of its answer over the last
// kMinRateWindowMs of sending time is dropped (about 273 B/s; IIS drops below
// 240 B/s): taking a few bytes now and then must not hold a connection for
// ever, while a peer behind a 64 kbit/s link keeps 30 times that. Time spent
// waiting for a turn under the upload cap is not the peer's and is left out.
constexpr uint32_t kMinRateWindowMs = 60 * 1000;
constexpr uint32_t kMinRateBytes = 16 * 1024;
// Answers up to this size go out in one blocking send: the socket buffers of
// every system take that much at once, so even a slow peer is not timed out by it.
// Longer answers are sent non-blocking, their progress watched; the connection
// stays non-blocking from its first long answer on (each switch of the mode is
// a server round trip or two under Wine).
constexpr size_t kBlockingAnswerBytes = 64 * 1024;
// How often a send that waits for room looks again: a socket that accepts
// bytes before it reports itself writable still counts as progress, and a
// pause must end a transfer within a second.
constexpr uint32_t kSendPollMs = 500;
// One thread per connection: the 32-bit address space is the real limit. At the
// bound the keep-alive connection idle the longest is closed for a new one
// (its peer reconnects cheaply); when none is idle, the answer that took the
// fewest bytes over its last window, if fewer than kEvictBelowBytes; only when
// none is that slow is the new one refused.
constexpr int32_t kMaxConnections = 1000;
// About 1 KiB/s: above the minimum, yet no honest peer is that slow (one behind
// a 64 kbit/s link takes 7 times it). Peers just over the minimum, a few
// hundred bytes a second each, could otherwise hold every connection for a
// few Mbit/s in all.
constexpr uint32_t kEvictBelowBytes = 64 * 1024;
// The minimum rate and the slowest answer count the bytes the system took for
// sending, which are the bytes the peer took only while the system's send
// buffer stays full. Left to itself the system grows each buffer to megabytes
// on a fast link (loopback, a LAN): hundreds of those are more than its socket
// memory, and then a buffer that the peer empties is not filled again, so a
// peer above the minimum looks below it and a window that holds a buffer's
// first fill looks fast long after. Past this many connections each new one
// gets a bounded buffer (128 KiB per round trip is still 1.3 MB/s at 100 ms):
// the link is shared too finely then for one connection to need more.
constexpr int32_t kCrowdedConnections = 64;
constexpr uint32_t kCrowdedSendBufferBytes = 128 * 1024;
// Reserved, not committed: 1,000 of these fit a 32-bit process with room left.
constexpr uint32_t kConnectionStackReserve = 256 * 1024;
// A failing accept (out of buffers, say) must not spin the accept thread.
constexpr uint32_t kAcceptFailurePauseMs = 100;
// Each read and send costs a system call (a server round trip under Wine), so a
// range of up to 1 MiB goes out with its head in one send, and longer ones in
// 1 MiB chunks; the spare room holds the head.
constexpr size_t kAnswerBlockBytes = 1024 * 1024 + 4 * 1024;
// Blocks of all connections together: 1,000 connections of 1 MiB each would not
// fit a 32-bit process. Past the budget an answer goes out in small chunks.
constexpr size_t kAnswerBlockBudgetBytes = 64 * 1024 * 1024;
// Blocks kept for the next answers: reuse saves the page faults of a fresh
// 1 MiB; once no connection is open, none is kept.
constexpr size_t kKeptFreeBlocks = 8;
// The small chunks, from the stack, when no block can be had.
constexpr size_t kFallbackChunkBytes = 16 * 1024;
// Header lines longer than this end the header parsing (2047 with the terminator).
constexpr size_t kMaxHeaderLineChars = 2046;

}  // namespace http_limits

// The bounds one server applies; tests shorten the times.
struct HttpServerLimits {
  size_t max_head_bytes = http_limits::kMaxHeadBytes;
  uint32_t head_timeout_ms = http_limits::kHeadTimeoutMs;
  uint32_t idle_timeout_ms = http_limits::kIdleTimeoutMs;
  uint32_t send_timeout_ms = http_limits::kSendTimeoutMs;
  uint32_t min_rate_window_ms = http_limits::kMinRateWindowMs;
  uint32_t min_rate_bytes = http_limits::kMinRateBytes;
  uint32_t evict_below_bytes = http_limits::kEvictBelowBytes;  // over min_rate_window_ms
  int32_t max_connections = http_limits::kMaxConnections;
  uint32_t connection_stack_reserve = http_limits::kConnectionStackReserve;
  uint32_t accept_failure_pause_ms = http_limits::kAcceptFailurePauseMs;
  // SO_SNDBUF of each connection; 0 leaves the system's own, which grows with
  // the link, until the server is crowded. Tests make it small, so that a slow
  // peer is felt at once.
  uint32_t send_buffer_bytes = 0;

  // SO_SNDBUF for a connection that opens with `open` connections open (itself
  // included); 0: the system's own.
  uint32_t SendBufferFor(int32_t open) const {
    if (send_buffer_bytes != 0) return send_buffer_bytes;
    return open > http_limits::kCrowdedConnections ? http_limits::kCrowdedSendBufferBytes : 0;
  }
};
