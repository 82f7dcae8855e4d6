// The uplink's queue as the probes see it: a base delay (the least round trip
// over the last minutes) and a current delay (the least of the latest few).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

// Times are milliseconds from any start; not thread-safe (the probe thread's).
class QueueDelay {
 public:
  // The base is the least of this many per-minute minima: long enough to have
  // seen the queue empty, short enough to follow a slower route.
  static constexpr uint64_t kBaseMinutes = 10;
  // The current delay is the least of the latest samples: one probe that met
  // a burst is jitter, not a queue.
  static constexpr size_t kCurrentSamples = 3;

  void Add(uint32_t rtt_ms, uint64_t now_ms);
  // The route or the reflector changed: what was learned no longer holds.
  void Forget();

  bool Known() const { return !m_latest.empty(); }
  uint32_t base_ms() const;
  uint32_t current_ms() const;
  // current - base, never below 0.
  uint32_t queueing_ms() const;
  // The latest sample over the base: the first sign of a queue, unfiltered.
  uint32_t latest_queueing_ms() const;

 private:
  struct Minute {
    uint64_t minute;
    uint32_t least;
  };
  std::deque<Minute> m_minutes;  // oldest first, within kBaseMinutes of the latest
  std::deque<uint32_t> m_latest;
};
