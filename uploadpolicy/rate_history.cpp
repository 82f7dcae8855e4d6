#include "uploadpolicy/rate_history.h"

size_t RateHistory::IndexOf(int64_t second) {
  return static_cast<size_t>(((second % kSeconds) + kSeconds) % kSeconds);
}

void RateHistory::Add(int64_t now_s, uint64_t bytes) {
  Slot& slot = m_slots[IndexOf(now_s)];
  if (slot.stamp != now_s) slot = Slot{now_s, 0};
  slot.bytes += bytes;
}

std::vector<uint64_t> RateHistory::Read(int64_t now_s) const {
  std::vector<uint64_t> out(kSeconds, 0);
  for (int i = 0; i < kSeconds; ++i) {
    const int64_t second = now_s - (kSeconds - 1) + i;
    const Slot& slot = m_slots[IndexOf(second)];
    if (slot.stamp == second) out[static_cast<size_t>(i)] = slot.bytes;
  }
  return out;
}
