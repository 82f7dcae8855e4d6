// Feeds RANGE values to the range rule against file sizes the input chooses.
// Checks that an answer the server would send is consistent: a satisfiable
// range begins inside the file, promises at least one byte and never a byte
// past the end; an end inside the file is served as asked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "httpserver/range_rule.h"
#include "httpserver/response_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  uint32_t raw_total = 0;
  std::memcpy(&raw_total, data, sizeof(raw_total));
  // Sizes up to just below 4 GiB, the largest the catalogue registers, plus a few above.
  const int64_t total = static_cast<int64_t>(raw_total) << (data[4] & 1);
  const std::string value(reinterpret_cast<const char*>(data + 5), size - 5);

  RangeRequest request = ParseRangeHeader(value);
  if (request.begin < 0 || request.end < 0) abort();
  if (!request.given && (request.begin != 0 || request.end != 0)) abort();
  if (request.given && (request.end_text.empty() || request.end_text[0] != '-')) abort();

  ResolvedRange range = ResolveRange(request, total);
  if (range.satisfiable) {
    if (total > 0 && (range.begin >= total || range.length < 1)) abort();
    if (request.given && range.begin >= total) abort();
    if (range.length > total - range.begin) abort();
    if (request.end != 0 && request.end < total && range.length != request.end - range.begin + 1) {
      abort();
    }
    const std::string head = BuildResponseHead(total, true, "f", range.length, range.begin);
    if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) abort();
  }
  (void)ReadDecimal64(value);
  return 0;
}
