// The least a peer must take of an answer: judged over a sliding window of
// sending time, so that a peer that takes a few bytes now and then cannot hold
// a connection for ever, while one that is merely slow keeps it.
#pragma once

#include <cstdint>
#include <deque>

// Times are milliseconds from any start; not thread-safe (one per answer).
class MinRateRule {
 public:
  MinRateRule(uint32_t window_ms, uint32_t min_bytes, uint64_t now_ms);

  // `total` bytes of the answer taken so far, at `now_ms`.
  void Took(uint64_t total, uint64_t now_ms);
  // Leaves `ms` out of the sending time: a wait for a turn under a cap is not
  // the peer's doing.
  void Exclude(uint64_t ms) { m_excludedMs += ms; }
  // True once a whole window of sending time has passed in which the peer
  // took fewer than `min_bytes`.
  bool TooSlow(uint64_t now_ms);
  // What the peer took over the last window, as of the last TooSlow.
  uint64_t TakenInWindow() const { return m_takenInWindow; }
  // Whether the last TooSlow judged a whole window.
  bool Judged() const { return m_judged; }

 private:
  struct Sample {
    uint64_t at_ms;  // sending time
    uint64_t total;
  };
  uint64_t SendingTime(uint64_t now_ms) const;

  const uint32_t m_windowMs;
  const uint32_t m_minBytes;
  const uint64_t m_startMs;
  uint64_t m_excludedMs = 0;
  uint64_t m_takenInWindow = 0;
  bool m_judged = false;
  // Exact totals at moments at least a second apart (the last one may be
  // closer): a window's count is never more than the peer took.
  std::deque<Sample> m_samples;
};
