// Body bytes sent in each of the last ten minutes' seconds, kept as the bytes
// are counted: a slot is stamped with its second and a stale one reads as 0, so
// no thread has to tick the ring over. Not locked: its owner holds the lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class RateHistory {
 public:
  static constexpr int kSeconds = 600;

  void Add(int64_t now_s, uint64_t bytes);
  // The kSeconds seconds ending with `now_s`, oldest first.
  std::vector<uint64_t> Read(int64_t now_s) const;

 private:
  struct Slot {
    int64_t stamp = -1;
    uint64_t bytes = 0;
  };
  static size_t IndexOf(int64_t second);
  std::array<Slot, kSeconds> m_slots;
};
