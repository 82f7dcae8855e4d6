#include "ipc/ipc_request.h"

#include <algorithm>

namespace {

// The text before the next CR LF at or after `*pos`; moves `*pos` past it.
bool TakeLine(const std::string& text, size_t* pos, std::string* line) {
  const size_t end = text.find("\r\n", *pos);
  if (end == std::string::npos) return false;
  *line = text.substr(*pos, end - *pos);
  *pos = end + 2;
  return true;
}

}  // namespace

bool ParseIpcRequest(const std::string& first_line, const std::string& rest,
                     IpcRequest* request) {
  if (rest.empty()) return false;
  IpcRequest parsed;
  size_t pos = 0;
  if (!TakeLine(rest, &pos, &parsed.md5) || !TakeLine(rest, &pos, &parsed.url) ||
      !TakeLine(rest, &pos, &parsed.mode)) {
    return false;
  }
  // A line shorter than its line end (a bare LF) leaves an empty path rather
  // than reaching before the start of the text.
  parsed.local_path = first_line.substr(0, first_line.size() - std::min<size_t>(2, first_line.size()));
  *request = std::move(parsed);
  return true;
}
