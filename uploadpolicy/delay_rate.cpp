#include "uploadpolicy/delay_rate.h"

#include <algorithm>

void DelayRate::Start(uint64_t sent, uint64_t now_ms) {
  // Half of what went out unchecked: the queue that built meanwhile is ours.
  m_rate = std::max<double>(kFloor, static_cast<double>(sent) / 2);
  m_queuedAt = static_cast<double>(sent);
  m_lastMs = now_ms;
  m_holdUntil = 0;
  m_lastCutMs = 0;
  m_slowUntil = now_ms + kFirstSlowdownMs;
  m_nextSlowdown = m_slowUntil + kSlowdownEveryMs;
}

void DelayRate::Update(const Delay& delay, uint32_t target_ms, uint64_t sent, uint64_t now_ms) {
  const uint64_t elapsed = std::min<uint64_t>(now_ms - std::min(now_ms, m_lastMs), 500);
  m_lastMs = now_ms;
  if (SlowingDown(now_ms)) return;  // what is seen now is the drain, not the rate's doing
  if (now_ms >= m_nextSlowdown) {
    m_slowUntil = now_ms + kSlowdownMs;
    m_nextSlowdown = m_slowUntil + kSlowdownEveryMs;
    return;
  }
  const double floor = kFloor;
  const double out = static_cast<double>(sent);
  if (target_ms == 0) target_ms = 1;
  if (delay.now_ms > target_ms) {
    if (now_ms < m_holdUntil) return;
    // Cut from what actually went out, deeper the further above the target;
    // then wait for the cut to show (the queue's own delay, and the filter's).
    // Cuts in a row are one queue: it built at the most that went out, not at
    // what a cut before had already brought down.
    const bool same_queue = m_lastCutMs != 0 && now_ms < m_lastCutMs + kOneQueueMs;
    m_queuedAt = std::max(std::max(out, floor), same_queue ? m_queuedAt : 0);
    m_lastCutMs = now_ms;
    const double factor = std::min(0.9, std::max(0.5, static_cast<double>(target_ms) / delay.now_ms));
    m_rate = std::max(floor, std::min(m_rate, m_queuedAt) * factor);
    m_holdUntil = now_ms + std::min<uint64_t>(delay.rtt_ms + 300, 1500);
    return;
  }
  // Growth only while even the latest sample is under the target: the filter
  // that keeps jitter from cutting must not hide a queue from growing.
  if (delay.latest_ms >= target_ms) return;
  const double room = 1.0 - static_cast<double>(delay.latest_ms) / target_ms;
  // A queue that built at the floor (a drain of what was sent before) names no
  // rate of the link.
  const bool near = m_queuedAt > 2 * floor && m_rate > m_queuedAt * 0.8;
  const double per_second = near ? kProbeGrowthPerSecond : kGrowthPerSecond;
  const double grown = m_rate * (1.0 + per_second * room * elapsed / 1000.0);
  m_rate = std::max(floor, std::min(grown, std::max(floor, out * kHeadroom)));
  // Sending well past where the queue built, with no queue: the link has grown.
  // (The rate allowed may run ahead of what goes out; that proves nothing.)
  if (out > m_queuedAt * 1.5) m_queuedAt = 0;
}

uint32_t DelayRate::Rate(uint64_t now_ms) const {
  return SlowingDown(now_ms) ? kFloor : static_cast<uint32_t>(std::min(m_rate, 4294967295.0));
}
