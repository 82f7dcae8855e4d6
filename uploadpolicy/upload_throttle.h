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
  // The bucket holds 1/`burst_divisor` of a second of the rate.
  explicit TokenBucket(uint32_t burst_divisor = 4) : m_burstDivisor(burst_divisor) {}
  // 0: no cap. The bucket starts full, or with `keep` (a rate that moves
  // often) keeps what it holds, up to the new size.
  void SetRate(uint32_t bytes_per_second, uint64_t now_us, bool keep = false);
  uint32_t rate() const { return m_rate; }
  // The most one turn takes, so that turns come round often: a sixteenth of a
  // second of the cap, shared further past 8 `waiters` so that each still gets
  // many turns a second; at least 512 bytes, at most 64 KiB, and never more
  // than the bucket holds, or the turn would wait for ever.
  uint32_t Quantum(uint64_t waiters = 1) const;
  // Takes min(want, Quantum(waiters)) when the bucket holds that much and
  // answers what was taken; otherwise answers 0 and sets `wait_us` to when it will.
  uint32_t Take(uint32_t want, uint64_t now_us, uint64_t* wait_us, uint64_t waiters = 1);
  // Puts back bytes taken and not sent, up to what the bucket holds.
  void Give(uint32_t bytes);

 private:
  void Refill(uint64_t now_us);

  uint32_t m_rate = 0;
  double m_tokens = 0;
  const uint32_t m_burstDivisor;
  double m_burst = 0;  // 1/m_burstDivisor of a second of the cap, at least 1 byte
  uint64_t m_lastUs = 0;
};

// Safe from any thread.
class UploadThrottle {
 public:
  // Microseconds on a clock that never goes back.
  using Clock = uint64_t (*)();
  static uint64_t SteadyNowUs();
  // Tests pass a clock of their own, and Recheck after they move it.
  // `burst_divisor`: the bucket holds that fraction of a second of the cap.
  explicit UploadThrottle(Clock clock = SteadyNowUs, uint32_t burst_divisor = 4)
      : m_clock(clock), m_bucket(burst_divisor) {}

  // 0: no cap. A new cap starts with a full bucket; `keep` keeps what the
  // bucket holds instead, so that a rate set many times a second gives no
  // more than itself.
  void SetCap(uint32_t bytes_per_second, bool keep = false);
  // While paused every Acquire answers 0 at once, waiters included.
  void SetPaused(bool paused);
  bool Paused() const { return m_paused.load(); }
  const std::atomic<bool>* PausedFlag() const { return &m_paused; }
  uint32_t Cap() const { return m_cap.load(); }

  // Waits for the turn and the budget of up to `want` bytes; answers how many
  // may go now (at least 1), or 0 when sharing is paused.
  uint32_t Acquire(uint32_t want);

  // Bytes granted and then not sent (another budget gave fewer): the next
  // turn may have them.
  void Return(uint32_t bytes);

  // Connections waiting for their turn now.
  uint64_t Waiting();
  // Wakes every waiter to look at the clock again.
  void Recheck();

  // The throttle of the peer service: the caps, for every peer the caps hold.
  static UploadThrottle& Shared();
  // The delay control's rate, for internet peers alone, drawn before the caps.
  static UploadThrottle& Internet();

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

// One turn of an answer: an internet peer's draws on `internet` (the delay
// control's rate) and then, when `capped`, on `caps`, handing back what the
// caps did not grant; a LAN peer's never touches `internet`, since it does not
// cross the uplink. Answers what may go now; 0 when sharing is paused. An
// internet turn is never more than kMaxInternetTurnBytes, even with no rate and
// no cap: what a turn grants goes out whatever rate comes in force meanwhile.
constexpr uint32_t kMaxInternetTurnBytes = 64 * 1024;
uint32_t AcquireTurn(UploadThrottle& internet, UploadThrottle& caps, bool lan, bool capped,
                     uint32_t want);
