// Counts per second over the last kSeconds seconds. A slot is stamped with its
// second and a stale one reads as empty, so no thread has to tick the ring
// over. Stamp it with a monotonic second: a clock that steps back would add to
// seconds already counted, one that steps forward would blank them. Not
// locked: its owner holds the lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

template <typename Counts, int kSeconds>
class SecondRing {
 public:
  // The counts of `second`; its slot starts afresh when it held another second.
  Counts& At(int64_t second) {
    Slot& slot = m_slots[IndexOf(second)];
    if (slot.stamp != second) slot = Slot{second, Counts()};
    return slot.counts;
  }
  // The counts of `second`, or empty ones when the ring does not hold it.
  Counts Get(int64_t second) const {
    const Slot& slot = m_slots[IndexOf(second)];
    return slot.stamp == second ? slot.counts : Counts();
  }

 private:
  struct Slot {
    int64_t stamp = -1;
    Counts counts = Counts();
  };
  static size_t IndexOf(int64_t second) {
    return static_cast<size_t>(((second % kSeconds) + kSeconds) % kSeconds);
  }
  std::array<Slot, kSeconds> m_slots;
};
