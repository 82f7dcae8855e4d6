// Body bytes sent in each of the last ten minutes' seconds, kept as the bytes
// are counted (a SecondRing; a second nothing was sent in reads 0). Not locked:
// its owner holds the lock.
#pragma once

#include <cstdint>
#include <vector>

#include "uploadpolicy/second_ring.h"

class RateHistory {
 public:
  static constexpr int kSeconds = 600;

  void Add(int64_t now_s, uint64_t bytes);
  // The kSeconds seconds ending with `now_s`, oldest first.
  std::vector<uint64_t> Read(int64_t now_s) const;

 private:
  SecondRing<uint64_t, kSeconds> m_ring;
};
