#include "ipc/tracker_report.h"

#include "ipc/url_encode.h"

namespace {
constexpr uint64_t kMinSharedSize = 131072;
constexpr uint64_t kSizeLimit = 0x100000000ULL;  // sizes must fit the 32-bit Length value
}  // namespace

ShareSize ClassifyShareSize(uint64_t size) {
  if (size >= kSizeLimit) return ShareSize::kTooLarge;
  if (size < kMinSharedSize) return ShareSize::kTooSmall;
  return ShareSize::kShared;
}

bool IsReportedMode(const std::string& mode) { return mode == "0" || mode == "1"; }

std::string BuildReportQuery(const std::string& url, const std::string& md5, uint32_t size,
                             const std::string& mode) {
  return "insert.php?url=" + UrlEncode(url) + "&md5=" + md5 + "&size=" + std::to_string(size) +
         "&mode=" + mode + "&";
}

std::string BuildTrackerRequestUrl(const std::string& base_url, const std::string& query,
                                   const std::string& user_id) {
  return base_url + query + "uid=" + (user_id.empty() ? std::string("Unknown") : user_id);
}

bool ParseTrackerAnswer(const std::string& body, std::string* value) {
  static const char kOk[] = "OK\r\n";
  if (body.compare(0, 4, kOk) != 0) {
    *value = body;
    return false;
  }
  const size_t end = body.find("\r\n", 4);
  *value = body.substr(4, end == std::string::npos ? std::string::npos : end - 4);
  return true;
}
