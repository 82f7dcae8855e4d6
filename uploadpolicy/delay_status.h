// How the delay control reads in the status: the "upload_delay" JSON object,
// the table row, and the queueing delay of each of the last ten minutes'
// seconds. Portable.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "uploadpolicy/delay_control.h"

std::string FormatDelayJson(const DelayStatus& status);
// The `upload delay` row of the table, in words.
std::string FormatDelayRow(const DelayStatus& status);

// The largest queueing delay measured in each second; a second with none reads
// as -1 (null in the JSON). Stamped slots, as the upload rate's history keeps
// them. Not locked: its owner holds the lock.
class DelayHistory {
 public:
  static constexpr int kSeconds = 600;
  void Add(int64_t now_s, uint32_t queueing_ms);
  // The kSeconds seconds ending with `now_s`, oldest first.
  std::vector<int64_t> Read(int64_t now_s) const;

 private:
  struct Slot {
    int64_t stamp = -1;
    uint32_t ms = 0;
  };
  std::array<Slot, kSeconds> m_slots;
};

// "[1,null,3]".
std::string DelayListJson(const std::vector<int64_t>& values);
