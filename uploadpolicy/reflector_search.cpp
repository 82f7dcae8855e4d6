#include "uploadpolicy/reflector_search.h"

void ReflectorSearch::Begin(uint32_t peer, uint64_t now_ms) {
  m_phase = Phase::kSearching;
  m_peer = peer;
  m_ttl = kFirstTtl;
  m_tries = 0;
  m_reflector = 0;
  m_hop = 0;
  m_echo = false;
  m_lastAnswerMs = now_ms;
  m_misses = 0;
}

ProbeOrder ReflectorSearch::Next() const {
  ProbeOrder order;
  order.timeout_ms = kTimeoutMs;
  switch (m_phase) {
    case Phase::kNone:
      return ProbeOrder();
    case Phase::kSearching:
      order.kind = ProbeOrder::Kind::kTtlLimited;
      order.address = m_peer;
      order.ttl = m_ttl;
      return order;
    case Phase::kCheckingEcho:
      order.kind = ProbeOrder::Kind::kEcho;
      order.address = m_reflector;
      return order;
    case Phase::kFound:
      if (m_echo) {
        order.kind = ProbeOrder::Kind::kEcho;
        order.address = m_reflector;
      } else {
        order.kind = ProbeOrder::Kind::kTtlLimited;
        order.address = m_peer;
        order.ttl = m_hop;
      }
      return order;
  }
  return ProbeOrder();
}

bool ReflectorSearch::Measures(const ProbeAnswer& answer) const {
  if (m_phase != Phase::kFound || answer.from != m_reflector) return false;
  return answer.kind == (m_echo ? ProbeAnswer::Kind::kEchoReply : ProbeAnswer::Kind::kTtlExpired);
}

ReflectorSearch::Event ReflectorSearch::OnAnswer(const ProbeAnswer& answer, uint64_t now_ms) {
  const bool answered = answer.kind != ProbeAnswer::Kind::kNone;
  switch (m_phase) {
    case Phase::kNone:
      return Event::kNothing;
    case Phase::kSearching:
      // A hop that says "expired", or the peer itself when it is that near.
      if (answered && (answer.kind == ProbeAnswer::Kind::kTtlExpired || answer.from == m_peer)) {
        m_reflector = answer.from;
        m_hop = m_ttl;
        m_lastAnswerMs = now_ms;
        m_misses = 0;
        if (answer.from == m_peer) {
          m_echo = true;
          m_phase = Phase::kFound;
          return Event::kFound;
        }
        m_phase = Phase::kCheckingEcho;
        m_tries = 0;
        return Event::kNothing;
      }
      if (++m_tries < kTriesPerStep) return Event::kNothing;
      m_tries = 0;
      if (++m_ttl <= kLastTtl) return Event::kNothing;
      m_phase = Phase::kNone;
      return Event::kNoneAnswers;
    case Phase::kCheckingEcho:
      if (answered && answer.kind == ProbeAnswer::Kind::kEchoReply &&
          answer.from == m_reflector) {
        m_echo = true;
      } else if (++m_tries < kTriesPerStep) {
        return Event::kNothing;
      }
      m_phase = Phase::kFound;
      m_lastAnswerMs = now_ms;
      return Event::kFound;
    case Phase::kFound:
      if (Measures(answer)) {
        m_lastAnswerMs = now_ms;
        m_misses = 0;
        return Event::kNothing;
      }
      ++m_misses;
      if (m_misses >= kLostMisses && now_ms >= m_lastAnswerMs + kLostAfterMs) {
        m_phase = Phase::kNone;
        return Event::kLost;
      }
      return Event::kNothing;
  }
  return Event::kNothing;
}
