#include "statuspage/local_only.h"

#include <initializer_list>

namespace {

std::string Trimmed(const std::string& value) {
  const size_t begin = value.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  return value.substr(begin, value.find_last_not_of(" \t") - begin + 1);
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// `value`, case aside, is one of `names` followed by ":<port>" (names in lower case).
bool IsOneOf(const std::string& value, std::initializer_list<const char*> names, uint32_t port) {
  const std::string suffix = ":" + std::to_string(port);
  for (const char* name : names) {
    if (SameIgnoringCase(value, name + suffix)) return true;
  }
  return false;
}

}  // namespace

bool IsLocalRequest(const std::string& host, const std::string& origin, bool changes_state,
                    uint32_t port) {
  if (port == 0) return false;
  if (!IsOneOf(Trimmed(host), {"127.0.0.1", "localhost", "[::1]"}, port)) return false;
  if (!changes_state) return true;
  const std::string from = Trimmed(origin);
  return from.empty() || IsOneOf(from, {"http://127.0.0.1", "http://localhost"}, port);
}
