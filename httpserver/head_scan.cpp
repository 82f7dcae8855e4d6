#include "httpserver/head_scan.h"

namespace {
constexpr char kBlankLine[] = "\r\n\r\n";
constexpr size_t kBlankLineSize = 4;
}  // namespace

HeadStep ScanRequestHead(const std::string& head, const char* data, size_t size,
                         size_t max_head_bytes) {
  HeadStep step;
  if (head.size() >= max_head_bytes) {
    step.progress = HeadProgress::kTooLarge;
    return step;
  }
  const size_t room = max_head_bytes - head.size();
  const size_t limit = size < room ? size : room;

  // How many bytes of "\r\n\r\n" the head already ends with; it never holds all four.
  size_t matched = 0;
  for (size_t n = kBlankLineSize - 1; n > 0; --n) {
    if (head.size() >= n && head.compare(head.size() - n, n, kBlankLine, n) == 0) {
      matched = n;
      break;
    }
  }
  for (size_t i = 0; i < limit; ++i) {
    const char c = data[i];
    if (c == kBlankLine[matched]) {
      ++matched;
    } else {
      // The pattern is CR LF CR LF: a CR always restarts a match at one.
      matched = (c == '\r') ? 1 : 0;
    }
    if (matched == kBlankLineSize) {
      step.take = i + 1;
      step.progress = HeadProgress::kComplete;
      return step;
    }
  }
  step.take = limit;
  step.progress =
      head.size() + limit >= max_head_bytes ? HeadProgress::kTooLarge : HeadProgress::kNeedMore;
  return step;
}
