#include "uploadpolicy/delay_control.h"

const char* DelayStateName(DelayState state) {
  switch (state) {
    case DelayState::kOff: return "off";
    case DelayState::kIdle: return "idle";
    case DelayState::kSearching: return "searching";
    case DelayState::kNoReflector: return "no_reflector";
    case DelayState::kOpen: return "open";
    case DelayState::kGivingWay: return "giving_way";
  }
  return "off";
}

ProbeOrder DelayControl::Tick(const DelayInputs& inputs, uint64_t now_ms, Event* event) {
  *event = Event::kNothing;
  m_in = inputs;
  if (!inputs.on || !inputs.off_reason.empty()) {
    // Off: whatever was found is stale by the time it comes back on.
    m_active = false;
    m_begun = false;
    m_queue.Forget();
    m_search = ReflectorSearch();
    return ProbeOrder();
  }
  m_active = inputs.serving_internet;
  if (!m_active) return ProbeOrder();
  if (m_begun && inputs.gateway != m_gateway) {
    *event = Event::kRouteChanged;
    m_begun = false;
  }
  if (!m_begun || (m_search.phase() == ReflectorSearch::Phase::kNone &&
                   now_ms >= m_searchAgainMs)) {
    if (inputs.peer == 0) return ProbeOrder();
    m_gateway = inputs.gateway;
    m_queue.Forget();
    m_search.Begin(inputs.peer, now_ms);
    m_begun = true;
    m_nextProbeMs = now_ms;
  }
  if (m_search.phase() == ReflectorSearch::Phase::kNone || now_ms < m_nextProbeMs) {
    return ProbeOrder();
  }
  m_nextProbeMs = now_ms + kProbeEveryMs;
  return m_search.Next();
}

DelayControl::Event DelayControl::OnAnswer(const ProbeAnswer& answer, uint64_t now_ms) {
  const bool was_measuring = Measuring();
  const bool echo = m_search.Next().kind == ProbeOrder::Kind::kEcho;
  const ReflectorSearch::Event found = m_search.OnAnswer(answer, now_ms);
  if (found == ReflectorSearch::Event::kFound) {
    m_noneSaid = false;
    m_rate.Start(m_in.sent, now_ms);
    const Event said = m_everFound ? Event::kFoundAgain : Event::kStarted;
    m_everFound = true;
    return said;
  }
  if (found == ReflectorSearch::Event::kLost) {
    m_queue.Forget();
    m_search.Begin(m_in.peer != 0 ? m_in.peer : answer.from, now_ms);
    return Event::kLost;
  }
  if (found == ReflectorSearch::Event::kNoneAnswers) {
    m_searchAgainMs = now_ms + kSearchAgainMs;
    if (m_noneSaid) return Event::kNothing;
    m_noneSaid = true;
    return Event::kNoneAnswers;
  }
  if (!was_measuring) return Event::kNothing;
  if (m_search.Measures(answer)) {
    m_queue.Add(answer.rtt_ms, now_ms);
    m_rate.Update({m_queue.queueing_ms(), m_queue.latest_queueing_ms(), m_queue.current_ms()},
                  m_in.target_ms, m_in.sent, now_ms);
  } else if (echo && answer.kind == ProbeAnswer::Kind::kNone) {
    // An echo unanswered for seconds is most likely stuck behind the queue.
    const uint32_t lost = ReflectorSearch::kTimeoutMs;
    m_rate.Update({lost, lost, lost}, m_in.target_ms, m_in.sent, now_ms);
  }
  return Event::kNothing;
}

uint32_t DelayControl::Limit(uint64_t now_ms) const {
  return m_active && Measuring() ? m_rate.Rate(now_ms) : 0;
}

DelayStatus DelayControl::Status(uint64_t now_ms) const {
  DelayStatus status;
  status.target_ms = m_in.target_ms;
  if (!m_in.on || !m_in.off_reason.empty()) {
    status.reason = m_in.on ? m_in.off_reason : "UploadDelayControl = 0";
    return status;
  }
  status.reflector = m_search.reflector();
  status.hop = m_search.hop();
  status.measured = Measuring() && m_queue.Known();
  status.base_ms = m_queue.base_ms();
  status.current_ms = m_queue.current_ms();
  status.rate = Limit(now_ms);
  if (!m_active) {
    status.state = DelayState::kIdle;
  } else if (m_search.phase() == ReflectorSearch::Phase::kNone) {
    status.state = m_begun ? DelayState::kNoReflector : DelayState::kSearching;
  } else if (!Measuring()) {
    status.state = DelayState::kSearching;
  } else {
    status.state = m_queue.queueing_ms() > m_in.target_ms || m_rate.SlowingDown(now_ms)
                       ? DelayState::kGivingWay
                       : DelayState::kOpen;
  }
  if (status.state == DelayState::kNoReflector) status.reason = "no hop past the router answers ICMP";
  if (status.state == DelayState::kSearching || status.state == DelayState::kNoReflector) {
    status.reflector = 0;
    status.hop = 0;
  }
  return status;
}
