// What the file service has served: requests and body bytes since start and in
// the last 60 seconds, bytes per second over ten minutes, and the bytes of each
// file. Counted by the connection threads as they send; safe from any thread.
// The lock covers a few additions, never a read of a file or a send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/status_figures.h"
#include "uploadpolicy/rate_history.h"
#include "uploadpolicy/second_ring.h"

class ServedStats {
 public:
  static ServedStats& Shared();

  // The second counts are stamped with: monotonic, so that a step of the wall
  // clock neither counts a second twice nor blanks the window. Tests give their own.
  using Clock = int64_t (*)();
  static int64_t SteadySeconds();
  explicit ServedStats(Clock clock = SteadySeconds) : m_clock(clock) {}

  // One request answered with a file (200 or 206), now.
  void AddRequest();
  // `bytes` of the body of file `md5` (at `path`), sent now.
  void AddBytes(const std::string& md5, const std::string& path, uint64_t bytes);

  struct Figures {
    uint64_t requests = 0;
    uint64_t bytes = 0;
    uint64_t requests_60s = 0;
    uint64_t bytes_60s = 0;
    std::vector<StatusFileServed> top;  // at most `top_count`, most bytes first
    std::vector<uint64_t> rate;  // bytes per second, the last ten minutes, oldest first
  };
  Figures Read(size_t top_count) const;

 private:
  static constexpr int kWindowSeconds = 60;
  struct Second {
    uint64_t requests = 0;
    uint64_t bytes = 0;
  };

  const Clock m_clock;
  mutable std::mutex m_mutex;
  uint64_t m_requests = 0;
  uint64_t m_bytes = 0;
  SecondRing<Second, kWindowSeconds> m_window;
  RateHistory m_history;
  std::map<std::string, StatusFileServed> m_files;  // by upper-case MD5 text
};
