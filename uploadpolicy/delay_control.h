// The delay control as a whole: when to probe, what the answers say, and the
// rate internet answers may take now. The probe thread feeds it; portable.
#pragma once

#include <cstdint>
#include <string>

#include "uploadpolicy/delay_rate.h"
#include "uploadpolicy/queue_delay.h"
#include "uploadpolicy/reflector_search.h"

enum class DelayState { kOff, kIdle, kSearching, kNoReflector, kOpen, kGivingWay };
// "off", "idle", "searching", "no_reflector", "open", "giving_way".
const char* DelayStateName(DelayState state);

// The target's default and bounds. Well under the 25 ms a player notices; not
// under what a millisecond clock and a few ms of jitter can tell from nothing.
constexpr uint32_t kDefaultDelayTargetMs = 10;
constexpr uint32_t kMinDelayTargetMs = 3;
constexpr uint32_t kMaxDelayTargetMs = 200;

// What the engine knows now; addresses in host byte order.
struct DelayInputs {
  bool on = true;          // "UploadDelayControl"
  std::string off_reason;  // not empty: no probe may go out, for this reason
  uint32_t target_ms = kDefaultDelayTargetMs;
  bool serving_internet = false;  // an internet peer was served lately
  uint32_t peer = 0;              // one of them; 0: none known
  uint32_t gateway = 0;           // the default route's next hop; 0: none
  uint64_t sent = 0;              // bytes a second to internet peers lately
};

struct DelayStatus {
  DelayState state = DelayState::kOff;
  std::string reason;      // why off
  uint32_t reflector = 0;  // 0: none
  uint8_t hop = 0;
  bool measured = false;  // base and current hold measurements
  uint32_t base_ms = 0;
  uint32_t current_ms = 0;
  uint32_t target_ms = 0;
  uint32_t rate = 0;  // bytes a second; 0: no limit
};

class DelayControl {
 public:
  // At most ten probes a second, none while idle.
  static constexpr uint64_t kProbeEveryMs = 100;
  // Idle this long after the last internet turn: keep-alive gaps, and sends
  // that wait for a full socket to drain, are not idleness.
  static constexpr uint64_t kIdleAfterMs = 30000;
  // After no hop answered, searched again this much later.
  static constexpr uint64_t kSearchAgainMs = 60000;

  // What a step changed, for the log.
  enum class Event { kNothing, kStarted, kFoundAgain, kLost, kNoneAnswers, kRouteChanged };

  // The probe to send now, if one is due; `event` says what changed.
  ProbeOrder Tick(const DelayInputs& inputs, uint64_t now_ms, Event* event);
  Event OnAnswer(const ProbeAnswer& answer, uint64_t now_ms);

  // Bytes a second internet answers may take now; 0: no limit.
  uint32_t Limit(uint64_t now_ms) const;
  DelayStatus Status(uint64_t now_ms) const;

 private:
  bool Measuring() const { return m_search.phase() == ReflectorSearch::Phase::kFound; }

  DelayInputs m_in;
  bool m_active = false;  // on and serving
  bool m_begun = false;   // a search was begun since the last Forget
  bool m_everFound = false;
  bool m_noneSaid = false;
  uint32_t m_gateway = 0;
  uint64_t m_nextProbeMs = 0;
  uint64_t m_searchAgainMs = 0;
  ReflectorSearch m_search;
  QueueDelay m_queue;
  DelayRate m_rate;
};
