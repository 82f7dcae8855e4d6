// Paces a long read at a number of bytes per second, so that another program's
// disk use comes first: after each piece the reader sleeps for as long as it is
// ahead of the budget. Portable; times are milliseconds of any steady clock.
#pragma once

#include <cstdint>

class ReadBudget {
 public:
  // 0: no budget, never a pause.
  explicit ReadBudget(uint64_t bytes_per_second) : m_rate(bytes_per_second) {}

  // Starts counting anew (at the start of a file, or after a pause).
  void Start(uint64_t now_ms) {
    m_startMs = now_ms;
    m_read = 0;
  }
  // `bytes` more were read by `now_ms`: how long to sleep before the next read.
  uint32_t DelayAfter(uint64_t bytes, uint64_t now_ms) {
    m_read += bytes;
    if (m_rate == 0) return 0;
    const uint64_t due_ms = m_read * 1000 / m_rate;
    const uint64_t elapsed = now_ms > m_startMs ? now_ms - m_startMs : 0;
    return due_ms > elapsed ? static_cast<uint32_t>(due_ms - elapsed) : 0;
  }

 private:
  uint64_t m_rate;
  uint64_t m_startMs = 0;
  uint64_t m_read = 0;
};
