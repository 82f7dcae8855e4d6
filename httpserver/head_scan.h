// Where a request head ends in a stream of bytes.
//
// The reader peeks at what the peer has sent and takes from the socket only up
// to the blank line, so that nothing of a following request is consumed.
#pragma once

#include <cstddef>
#include <string>

enum class HeadProgress {
  kNeedMore,  // no blank line yet; take `take` bytes and read again
  kComplete,  // the head ends after the first `take` bytes
  kTooLarge,  // `head` plus `take` bytes fills the bound without a blank line
};

struct HeadStep {
  size_t take = 0;
  HeadProgress progress = HeadProgress::kNeedMore;
};

// Given the head read so far (never holding a complete head) and `size` further
// bytes, says how many of them belong to the head and whether it is complete.
// The head, "\r\n\r\n" included, may be at most `max_head_bytes` long.
HeadStep ScanRequestHead(const std::string& head, const char* data, size_t size,
                         size_t max_head_bytes);
