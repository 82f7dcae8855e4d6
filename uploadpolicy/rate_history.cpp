#include "uploadpolicy/rate_history.h"

void RateHistory::Add(int64_t now_s, uint64_t bytes) { m_ring.At(now_s) += bytes; }

std::vector<uint64_t> RateHistory::Read(int64_t now_s) const {
  std::vector<uint64_t> out(kSeconds, 0);
  for (int i = 0; i < kSeconds; ++i) {
    out[static_cast<size_t>(i)] = m_ring.Get(now_s - (kSeconds - 1) + i);
  }
  return out;
}
