// The web report of a shared file: which files are shared, the request URL
// sent to the tracker host and the rule that reads its answer.
#pragma once

#include <cstdint>
#include <string>

// Registered files are at least 128 KiB and below 4 GiB.
enum class ShareSize { kTooSmall, kTooLarge, kShared };
ShareSize ClassifyShareSize(uint64_t size);

// Only modes "0" and "1" are reported; any other text registers only.
bool IsReportedMode(const std::string& mode);

// "insert.php?url=<encoded url>&md5=<md5>&size=<size>&mode=<mode>&"
std::string BuildReportQuery(const std::string& url, const std::string& md5, uint32_t size,
                             const std::string& mode);

// base_url + query + "uid=" + the user identifier, or "Unknown" when it is empty.
std::string BuildTrackerRequestUrl(const std::string& base_url, const std::string& query,
                                   const std::string& user_id);

// A taken report's answer begins with "OK\r\n" at its first byte: true, and
// `value` is the text after it up to the next CR LF (or the end). Otherwise
// false, and `value` is the whole body.
bool ParseTrackerAnswer(const std::string& body, std::string* value);
