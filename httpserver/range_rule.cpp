#include "httpserver/range_rule.h"

#include <cstdint>
#include <limits>

namespace {
constexpr char kBytesUnit[] = "bytes=";
constexpr size_t kBytesUnitSize = sizeof(kBytesUnit) - 1;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

int64_t ReadDecimal64(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return -1;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    const int digit = text[pos] - '0';
    if (value > (kMax - digit) / 10) return -1;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

RangeRequest ParseRangeHeader(const std::string& value) {
  RangeRequest request;
  const size_t unit = value.find(kBytesUnit);
  if (unit == std::string::npos) return request;
  const size_t first = unit + kBytesUnitSize;
  const size_t dash = value.find('-', first);
  if (dash == std::string::npos) return request;

  request.given = true;
  request.begin = ReadDecimal64(value.substr(first, dash - first));
  request.end_text = value.substr(dash);
  // The end text starts with "-", so its number is minus the end offset.
  request.end = request.end_text == "-" ? 0 : -ReadDecimal64(request.end_text);
  if (request.begin < 0) request.begin = 0;
  if (request.end < 0) request.end = 0;
  return request;
}

ResolvedRange ResolveRange(const RangeRequest& request, int64_t total) {
  ResolvedRange range;
  range.begin = request.begin;
  const int64_t last = total - 1;
  // Cut before any sum: end + 1 overflows for an end of 2^63 - 1.
  const int64_t end = request.end == 0 || request.end > last ? last : request.end;
  if (request.given && (request.begin >= total || end < request.begin)) {
    range.satisfiable = false;
    return range;
  }
  // begin <= end < total here, or begin is 0 and end is -1 for an empty file.
  range.length = end - request.begin + 1;
  return range;
}
