// A minimal HTTP GET client over wininet, for the tracker reports.
// One object per thread: made, used for one or more Get calls, and destroyed by
// the thread that made it.
#pragma once

#include <cstdint>
#include <string>

#include "common/unique_any.h"

// Connecting, sending and each wait for answer bytes give up after this long,
// so that a tracker that never answers cannot hold a request thread for ever.
constexpr uint32_t kWebTimeoutMs = 15 * 1000;

class CPxpWebClient {
 public:
  // Opens the Internet handle (agent "Browser1.0", the system's proxy
  // settings); a failure shows as every Get failing.
  CPxpWebClient();
  virtual ~CPxpWebClient();
  CPxpWebClient(const CPxpWebClient&) = delete;
  CPxpWebClient& operator=(const CPxpWebClient&) = delete;

  // Fetches `url`. False, with `body` untouched, when the URL cannot be
  // opened or the status is known and not 2xx. Otherwise true, and `body` gets
  // the answer: exactly the announced Content-Length when that is a plain
  // number of at most 1 MiB (bytes that never came stay zero), else whatever
  // the block reads return, up to 1 MiB.
  bool Get(const std::string& url, std::string* body);

 private:
  zrvd::unique_hinternet m_internet;
};
