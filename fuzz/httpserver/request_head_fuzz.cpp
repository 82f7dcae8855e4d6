// Feeds peer bytes to the head reader's rule in chunks the input chooses, and
// parses what it accepts. Checks what callers rely on: the head never exceeds
// the bound, ends with the blank line, and chunking never changes it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "httpserver/head_scan.h"
#include "httpserver/http_limits.h"
#include "httpserver/percent_decode.h"
#include "httpserver/request_parser.h"

namespace {

// Returns the head, or empty text when the bound is hit or the stream ends first.
std::string ReadHead(const char* data, size_t size, size_t chunk, size_t bound) {
  std::string head;
  size_t pos = 0;
  while (pos < size) {
    const size_t n = chunk < size - pos ? chunk : size - pos;
    HeadStep step = ScanRequestHead(head, data + pos, n, bound);
    if (step.take > n) abort();
    head.append(data + pos, step.take);
    pos += step.take;
    if (step.progress == HeadProgress::kComplete) return head;
    if (step.progress == HeadProgress::kTooLarge) {
      if (head.size() != bound) abort();
      return std::string();
    }
  }
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the chunk size and a small bound, the rest is the stream.
  const size_t chunk = 1 + data[0] % 64;
  const size_t bound = data[1] & 1 ? http_limits::kMaxHeadBytes : 16 + data[1] % 128;
  const char* stream = reinterpret_cast<const char*>(data + 2);
  const size_t stream_size = size - 2;

  const std::string head = ReadHead(stream, stream_size, chunk, bound);
  if (head != ReadHead(stream, stream_size, 1, bound)) abort();
  if (!head.empty()) {
    if (head.size() > bound || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) abort();
    if (head.find("\r\n\r\n") != head.size() - 4) abort();
  }

  ParsedRequest request = ParseRequestHead(std::string(stream, stream_size));
  if (request.uri.find('?') != std::string::npos) abort();
  if (request.raw_uri.compare(0, request.uri.size(), request.uri) != 0) abort();
  for (const auto& header : request.headers) {
    for (char c : header.first) {
      if (c >= 'a' && c <= 'z') abort();
    }
  }
  // Decoding never grows a text.
  if (PercentDecode(request.raw_uri).size() > request.raw_uri.size()) abort();
  return 0;
}
