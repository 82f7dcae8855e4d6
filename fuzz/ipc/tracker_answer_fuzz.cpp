// Any answer body from the tracker host: success exactly when it begins with
// "OK\r\n", and the value never runs past the next CR LF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipc/tracker_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string value;
  const bool ok = ParseTrackerAnswer(body, &value);
  const bool starts_ok = body.size() >= 4 && body.compare(0, 4, "OK\r\n") == 0;
  if (ok != starts_ok) std::abort();
  if (!ok) {
    if (value != body) std::abort();
    return 0;
  }
  if (value.find("\r\n") != std::string::npos) std::abort();
  if (body.compare(4, value.size(), value) != 0) std::abort();
  const size_t after = 4 + value.size();
  if (after != body.size() && body.compare(after, 2, "\r\n") != 0) std::abort();
  return 0;
}
