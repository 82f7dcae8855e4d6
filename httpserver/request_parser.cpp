#include "httpserver/request_parser.h"

#include "httpserver/http_limits.h"
#include "httpserver/percent_decode.h"

namespace {

bool IsWordSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads the word that starts at or after `pos`; leaves `pos` after it.
std::string NextWord(const std::string& text, size_t& pos) {
  while (pos < text.size() && IsWordSeparator(text[pos])) ++pos;
  const size_t start = pos;
  while (pos < text.size() && !IsWordSeparator(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

void ParseQuery(ParsedRequest& request) {
  const size_t question = request.uri.find('?');
  if (question == std::string::npos) return;
  const std::string query = request.uri.substr(question + 1);
  request.uri.erase(question);

  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string piece = query.substr(start, end - start);
    const size_t equals = piece.find('=');
    if (equals != std::string::npos) {
      std::string key = PercentDecode(piece.substr(0, equals));
      std::string value = PercentDecode(piece.substr(equals + 1));
      request.query_pieces.emplace_back(key, value);
      request.params[key] = value;
    }
    start = end + 1;
  }
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void AddHeaderLine(ParsedRequest& request, const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string name = line.substr(0, colon);
  for (char& c : name) c = UpperAscii(c);
  // One optional blank after the colon is skipped: "Range:bytes=100-" keeps its
  // first character.
  size_t start = colon + 1;
  if (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  std::string value = line.substr(start);
  if (!value.empty() && value.back() == '\r') value.pop_back();

  std::string& stored = request.headers[name];
  if (stored.empty()) {
    stored = value;
  } else {
    stored += "\r\n";
    stored += value;
  }
}

void ParseHeaders(ParsedRequest& request, const std::string& head) {
  size_t start = 0;
  while (start < head.size()) {
    size_t end = head.find('\n', start);
    const bool has_lf = end != std::string::npos;
    if (!has_lf) end = head.size();
    if (end - start > http_limits::kMaxHeaderLineChars) return;
    AddHeaderLine(request, head.substr(start, end - start));
    if (!has_lf) return;
    start = end + 1;
  }
}

}  // namespace

ParsedRequest ParseRequestHead(const std::string& head) {
  ParsedRequest request;
  size_t pos = 0;
  request.method = NextWord(head, pos);
  request.raw_uri = NextWord(head, pos);
  request.version = NextWord(head, pos);
  request.uri = request.raw_uri;
  ParseQuery(request);
  ParseHeaders(request, head);
  return request;
}
