// The one rate allowed to all internet answers together, steered by the
// uplink's queueing delay: it grows while the delay is under the target and
// falls fast above it; short slowdowns let the queue drain so that the base
// delay is learned again.
#pragma once

#include <cstdint>

// Times are milliseconds from any start; rates bytes a second. Not thread-safe.
class DelayRate {
 public:
  // Never less: a peer is never starved into its stall time-out, and a 1 Mbit/s
  // uplink still has most of itself free.
  static constexpr uint32_t kFloor = 16 * 1024;
  // Growth a second at no queueing delay, far under the rate where a queue
  // last built: from the floor to 1 Gbit/s in about five seconds.
  static constexpr double kGrowthPerSecond = 2.5;
  // Near that rate the growth is slow, so the link is used without a queue.
  static constexpr double kProbeGrowthPerSecond = 0.1;
  // Never further above what is actually being sent, so that a lull in demand
  // does not leave a rate that would flood the link when demand returns.
  static constexpr uint32_t kHeadroom = 4;
  // A slowdown at the floor drains what the engine itself queued; the first
  // one as control starts, long enough for a deep buffer, then short ones.
  static constexpr uint64_t kFirstSlowdownMs = 2000;
  static constexpr uint64_t kSlowdownMs = 500;
  static constexpr uint64_t kSlowdownEveryMs = 60000;
  // Cuts closer than this answer one queue.
  static constexpr uint64_t kOneQueueMs = 2000;

  // The queueing delay as measured: `now_ms` the filtered one (the least of
  // the latest samples), `latest_ms` the latest sample's, `rtt_ms` the round
  // trip now (how long a change takes to show).
  struct Delay {
    uint32_t now_ms;
    uint32_t latest_ms;
    uint32_t rtt_ms;
  };

  // Control begins (again) with `sent` bytes a second going out now.
  void Start(uint64_t sent, uint64_t now_ms);
  // A measurement against `target_ms`, with `sent` the bytes a second that
  // went out lately.
  void Update(const Delay& delay, uint32_t target_ms, uint64_t sent, uint64_t now_ms);
  // Bytes a second allowed now (the floor while slowing down).
  uint32_t Rate(uint64_t now_ms) const;
  bool SlowingDown(uint64_t now_ms) const { return now_ms < m_slowUntil; }

 private:
  double m_rate = kFloor;  // the rate outside slowdowns
  double m_queuedAt = 0;   // what went out when a queue last built; 0: unknown
  uint64_t m_lastMs = 0;
  uint64_t m_holdUntil = 0;  // no new cut before the last one can show
  uint64_t m_lastCutMs = 0;
  uint64_t m_slowUntil = 0;
  uint64_t m_nextSlowdown = 0;
};
