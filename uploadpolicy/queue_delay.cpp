#include "uploadpolicy/queue_delay.h"

#include <algorithm>

void QueueDelay::Add(uint32_t rtt_ms, uint64_t now_ms) {
  const uint64_t minute = now_ms / 60000;
  if (!m_minutes.empty() && m_minutes.back().minute == minute) {
    m_minutes.back().least = std::min(m_minutes.back().least, rtt_ms);
  } else {
    m_minutes.push_back({minute, rtt_ms});
  }
  while (m_minutes.front().minute + kBaseMinutes <= minute) m_minutes.pop_front();
  m_latest.push_back(rtt_ms);
  if (m_latest.size() > kCurrentSamples) m_latest.pop_front();
}

void QueueDelay::Forget() {
  m_minutes.clear();
  m_latest.clear();
}

uint32_t QueueDelay::base_ms() const {
  uint32_t least = UINT32_MAX;
  for (const Minute& minute : m_minutes) least = std::min(least, minute.least);
  return m_minutes.empty() ? 0 : least;
}

uint32_t QueueDelay::current_ms() const {
  return m_latest.empty() ? 0 : *std::min_element(m_latest.begin(), m_latest.end());
}

uint32_t QueueDelay::queueing_ms() const {
  const uint32_t base = base_ms(), current = current_ms();
  return current > base ? current - base : 0;
}

uint32_t QueueDelay::latest_queueing_ms() const {
  const uint32_t base = base_ms(), latest = m_latest.empty() ? 0 : m_latest.back();
  return latest > base ? latest - base : 0;
}
