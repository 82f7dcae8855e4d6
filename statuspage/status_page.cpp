#include "statuspage/status_page.h"

namespace {

bool IsUiName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name[0] == '-' || name[0] == '_') return false;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

LocalPath LocalPathOf(const std::string& method, const std::string& uri) {
  if (method == "GET") {
    if (uri == "/status") return LocalPath::kStatus;
    if (uri == "/") return LocalPath::kPage;
    if (uri.compare(0, 4, "/ui/") == 0 && IsUiName(uri.substr(4))) return LocalPath::kUiFile;
  } else if (method == "POST") {
    if (uri == "/pause") return LocalPath::kPause;
    if (uri == "/resume") return LocalPath::kResume;
    if (uri == "/verify") return LocalPath::kVerify;
  }
  return LocalPath::kNone;
}

bool TokenMatches(const std::string& given, const std::string& expected) {
  if (expected.empty() || given.size() != expected.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return differ == 0;
}

std::string FillPage(const std::string& page, const std::string& token) {
  static const std::string kMark = "{{token}}";
  std::string out;
  size_t from = 0;
  for (size_t at = page.find(kMark); at != std::string::npos; at = page.find(kMark, from)) {
    out.append(page, from, at - from);
    out += token;
    from = at + kMark.size();
  }
  return out.append(page, from, std::string::npos);
}

std::string LocalAnswer(const char* status, const std::string& type, const std::string& body) {
  return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Security-Policy: default-src 'self'; frame-ancestors 'none'"
         "\r\nX-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff"
         "\r\nReferrer-Policy: no-referrer\r\nCache-Control: no-store"
         "\r\nConnection: close\r\n\r\n" +
         body;
}
