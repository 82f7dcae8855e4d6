// What the file service has served: requests and body bytes since start and in
// the last 60 seconds, bytes per second over ten minutes, and the bytes of each
// file. Counted by the connection threads as they send; safe from any thread.
// The lock covers a few additions, never a read of a file or a send.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/status_figures.h"
#include "uploadpolicy/rate_history.h"

class ServedStats {
 public:
  static ServedStats& Shared();

  // One request answered with a file (200 or 206) at `now_s`.
  void AddRequest(int64_t now_s);
  // `bytes` of the body of file `md5` (at `path`) sent at `now_s`.
  void AddBytes(const std::string& md5, const std::string& path, uint64_t bytes, int64_t now_s);

  struct Figures {
    uint64_t requests = 0;
    uint64_t bytes = 0;
    uint64_t requests_60s = 0;
    uint64_t bytes_60s = 0;
    std::vector<StatusFileServed> top;  // at most `top_count`, most bytes first
    std::vector<uint64_t> rate;  // bytes per second, the last ten minutes, oldest first
  };
  Figures Read(int64_t now_s, size_t top_count) const;

 private:
  static constexpr int kWindowSeconds = 60;
  struct Second {
    int64_t stamp = -1;
    uint64_t requests = 0;
    uint64_t bytes = 0;
  };
  Second& SecondOf(int64_t now_s);

  mutable std::mutex m_mutex;
  uint64_t m_requests = 0;
  uint64_t m_bytes = 0;
  std::array<Second, kWindowSeconds> m_window;
  RateHistory m_history;
  std::map<std::string, StatusFileServed> m_files;  // by upper-case MD5 text
};
