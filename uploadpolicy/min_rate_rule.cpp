#include "uploadpolicy/min_rate_rule.h"

#include <cstddef>

namespace {
// Samples closer than this are merged: a window holds about 60 of them.
constexpr uint64_t kSampleSpacingMs = 1000;
}  // namespace

MinRateRule::MinRateRule(uint32_t window_ms, uint32_t min_bytes, uint64_t now_ms)
    : m_windowMs(window_ms), m_minBytes(min_bytes), m_startMs(now_ms) {
  m_samples.push_back({0, 0});
}

uint64_t MinRateRule::SendingTime(uint64_t now_ms) const {
  const uint64_t elapsed = now_ms > m_startMs ? now_ms - m_startMs : 0;
  return elapsed > m_excludedMs ? elapsed - m_excludedMs : 0;
}

void MinRateRule::Took(uint64_t total, uint64_t now_ms) {
  const Sample sample = {SendingTime(now_ms), total};
  const size_t count = m_samples.size();
  if (count >= 2 && sample.at_ms - m_samples[count - 2].at_ms < kSampleSpacingMs) {
    m_samples.back() = sample;
  } else {
    m_samples.push_back(sample);
  }
}

bool MinRateRule::TooSlow(uint64_t now_ms) {
  const uint64_t now = SendingTime(now_ms);
  m_judged = now >= m_windowMs;
  if (!m_judged) return false;
  const uint64_t window_start = now - m_windowMs;
  // Keep the last sample at or before the window's start: the total then.
  while (m_samples.size() >= 2 && m_samples[1].at_ms <= window_start) m_samples.pop_front();
  m_takenInWindow = m_samples.back().total - m_samples.front().total;
  return m_takenInWindow < m_minBytes;
}
