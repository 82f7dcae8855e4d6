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
// A peer that stops reading must not pin a connection thread for ever.
constexpr uint32_t kSendTimeoutMs = 60 * 1000;
// One thread per connection: the 32-bit address space is the real limit.
constexpr int32_t kMaxConnections = 1000;
// Reserved, not committed: 1,000 of these fit a 32-bit process with room left.
constexpr uint32_t kConnectionStackReserve = 256 * 1024;
// A failing accept (out of buffers, say) must not spin the accept thread.
constexpr uint32_t kAcceptFailurePauseMs = 100;
// Each send costs a round trip through the sockets layer, so bodies go out in
// large chunks from a buffer that lives only while a body is sent...
constexpr size_t kFileChunkBytes = 256 * 1024;
// ...or, when that much memory cannot be had, in small chunks from the stack.
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
  int32_t max_connections = http_limits::kMaxConnections;
  uint32_t connection_stack_reserve = http_limits::kConnectionStackReserve;
  uint32_t accept_failure_pause_ms = http_limits::kAcceptFailurePauseMs;
};
