// One upload budget shared by every peer connection: a token bucket that
// refills at the cap, drawn from in turns so that peers who want more share it
// evenly. Waiting for the budget sleeps; it never spins.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The bucket itself, over an explicit clock in microseconds; not thread-safe.
class TokenBucket {
 public:
  // 0: no cap. The bucket starts full.
  void SetRate(uint32_t bytes_per_second, uint64_t now_us);
  uint32_t rate() const { return m_rate; }
  // The most one turn takes, so that turns come round often: a sixteenth of a
  // second of the cap, shared further past 8 `waiters` so that each still gets
  // many turns a second; at least 512 bytes, at most 64 KiB, and never more
  // than the bucket holds, or the turn would wait for ever.
  uint32_t Quantum(uint64_t waiters = 1) const;
  // Takes min(want, Quantum(waiters)) when the bucket holds that much and
  // answers what was taken; otherwise answers 0 and sets `wait_us` to when it will.
  uint32_t Take(uint32_t want, uint64_t now_us, uint64_t* wait_us, uint64_t waiters = 1);

 private:
  void Refill(uint64_t now_us);

  uint32_t m_rate = 0;
  double m_tokens = 0;
  double m_burst = 0;  // a quarter of a second of the cap, at least 1 byte
  uint64_t m_lastUs = 0;
};

// Safe from any thread.
class UploadThrottle {
 public:
  // Microseconds on a clock that never goes back.
  using Clock = uint64_t (*)();
  static uint64_t SteadyNowUs();
  // Tests pass a clock of their own, and Recheck after they move it.
  explicit UploadThrottle(Clock clock = SteadyNowUs) : m_clock(clock) {}

  // 0: no cap.
  void SetCap(uint32_t bytes_per_second);
  // While paused every Acquire answers 0 at once, waiters included.
  void SetPaused(bool paused);
  bool Paused() const { return m_paused.load(); }
  const std::atomic<bool>* PausedFlag() const { return &m_paused; }
  uint32_t Cap() const { return m_cap.load(); }

  // Waits for the turn and the budget of up to `want` bytes; answers how many
  // may go now (at least 1), or 0 when sharing is paused.
  uint32_t Acquire(uint32_t want);

  // Connections waiting for their turn now.
  uint64_t Waiting();
  // Wakes every waiter to look at the clock again.
  void Recheck();

  // The throttle of the peer service.
  static UploadThrottle& Shared();

 private:
  const Clock m_clock;

  std::atomic<uint32_t> m_cap{0};
  std::atomic<bool> m_paused{false};
  // Waking every waiter on every grant costs each of them a trip through the
  // scheduler (and, under Wine, the server); a waiter sleeps on the slot of its
  // ticket instead, so a grant wakes the next ticket's holder alone.
  static constexpr size_t kWakeSlots = 64;
  void WakeTicket(uint64_t ticket) { m_slots[ticket % kWakeSlots].notify_all(); }
  void WakeAll();

  std::mutex m_mutex;
  std::condition_variable m_slots[kWakeSlots];
  TokenBucket m_bucket;
  // Turns are taken in ticket order: one grant each, then to the back.
  uint64_t m_nextTicket = 0;
  uint64_t m_serving = 0;
};
