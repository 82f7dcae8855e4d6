#include "uploadpolicy/upload_throttle.h"

void TokenBucket::SetRate(uint32_t bytes_per_second, uint64_t now_us, bool keep) {
  keep = keep && m_rate != 0 && bytes_per_second != 0;
  if (keep) Refill(now_us);
  m_rate = bytes_per_second;
  m_burst = static_cast<double>(bytes_per_second) / m_burstDivisor;
  if (m_burst < 1) m_burst = 1;
  if (!keep || m_tokens > m_burst) m_tokens = m_burst;
  m_lastUs = now_us;
}

uint32_t TokenBucket::Quantum(uint64_t waiters) const {
  uint64_t quantum = m_rate / 16;
  if (waiters > 8) quantum = quantum * 8 / waiters;
  if (quantum < 512) quantum = 512;
  if (quantum > 64 * 1024) quantum = 64 * 1024;
  const uint64_t bucket = static_cast<uint64_t>(m_burst);
  return static_cast<uint32_t>(bucket != 0 && bucket < quantum ? bucket : quantum);
}

void TokenBucket::Refill(uint64_t now_us) {
  if (now_us > m_lastUs) {
    m_tokens += static_cast<double>(now_us - m_lastUs) * m_rate / 1e6;
    if (m_tokens > m_burst) m_tokens = m_burst;
  }
  m_lastUs = now_us;
}

uint32_t TokenBucket::Take(uint32_t want, uint64_t now_us, uint64_t* wait_us,
                           uint64_t waiters) {
  Refill(now_us);
  const uint32_t quantum = Quantum(waiters);
  const uint32_t grant = want < quantum ? want : quantum;
  if (m_tokens >= grant) {
    m_tokens -= grant;
    return grant;
  }
  *wait_us = static_cast<uint64_t>((grant - m_tokens) * 1e6 / m_rate) + 1;
  return 0;
}

void TokenBucket::Give(uint32_t bytes) {
  m_tokens += bytes;
  if (m_tokens > m_burst) m_tokens = m_burst;
}

uint64_t UploadThrottle::SteadyNowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void UploadThrottle::WakeAll() {
  for (std::condition_variable& slot : m_slots) slot.notify_all();
}

uint64_t UploadThrottle::Waiting() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nextTicket - m_serving;
}

void UploadThrottle::Recheck() {
  std::lock_guard<std::mutex> lock(m_mutex);
  WakeAll();
}

void UploadThrottle::SetCap(uint32_t bytes_per_second, bool keep) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_cap.load() == bytes_per_second) return;
  m_cap = bytes_per_second;
  m_bucket.SetRate(bytes_per_second, m_clock(), keep);
  WakeAll();
}

void UploadThrottle::Return(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_cap.load() == 0 || bytes == 0) return;
  m_bucket.Give(bytes);
  WakeTicket(m_serving);
}

void UploadThrottle::SetPaused(bool paused) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_paused.load() == paused) return;
  m_paused = paused;
  WakeAll();
}

uint32_t UploadThrottle::Acquire(uint32_t want) {
  if (want == 0) return 0;
  if (m_paused.load()) return 0;
  if (m_cap.load() == 0) return want;
  std::unique_lock<std::mutex> lock(m_mutex);
  uint64_t ticket = m_nextTicket++;
  for (;;) {
    // A pause or a lifted cap empties the queue: every waiter leaves.
    if (m_paused.load() || m_cap.load() == 0) {
      if (m_serving < m_nextTicket) m_serving = m_nextTicket;
      return m_paused.load() ? 0 : want;
    }
    // A ticket voided by a pause that has ended since: to the back again.
    if (ticket < m_serving) ticket = m_nextTicket++;
    std::condition_variable& slot = m_slots[ticket % kWakeSlots];
    if (ticket != m_serving) {
      slot.wait(lock);
      continue;
    }
    uint64_t wait_us = 0;
    const uint32_t granted = m_bucket.Take(want, m_clock(), &wait_us, m_nextTicket - m_serving);
    if (granted != 0) {
      WakeTicket(++m_serving);
      return granted;
    }
    slot.wait_for(lock, std::chrono::microseconds(wait_us));
  }
}

UploadThrottle& UploadThrottle::Shared() {
  static UploadThrottle throttle;
  return throttle;
}

UploadThrottle& UploadThrottle::Internet() {
  // What a turn writes at once stands in the uplink's queue before the rate
  // shows: a sixty-fourth of a second (some 16 ms of the rate), not a quarter.
  static UploadThrottle throttle(SteadyNowUs, 64);
  return throttle;
}

uint32_t AcquireTurn(UploadThrottle& internet, UploadThrottle& caps, bool lan, bool capped,
                     uint32_t want) {
  // Whatever goes into the socket at once is beyond any later cut of the rate
  // (and counted only once sent): a whole answer block at no limit kept a slow
  // uplink full for many seconds after the control had slowed down.
  if (!lan && want > kMaxInternetTurnBytes) want = kMaxInternetTurnBytes;
  const uint32_t allowed = lan ? want : internet.Acquire(want);
  const uint32_t granted = capped ? caps.Acquire(allowed) : allowed;
  if (!lan) internet.Return(allowed - granted);
  return granted;
}
