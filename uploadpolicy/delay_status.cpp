#include "uploadpolicy/delay_status.h"

#include <cstdio>

#include "runtime/json_text.h"

namespace {

std::string AddressText(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

std::string NumberOrNull(bool known, uint64_t value) {
  return known ? std::to_string(value) : "null";
}

std::string RateText(uint32_t rate) {
  char text[32];
  if (rate >= (1u << 20)) {
    std::snprintf(text, sizeof(text), "%.1f MiB/s", rate / 1048576.0);
  } else {
    std::snprintf(text, sizeof(text), "%u KiB/s", rate / 1024);
  }
  return text;
}

bool Measuring(const DelayStatus& s) {
  return s.state == DelayState::kOpen || s.state == DelayState::kGivingWay;
}

}  // namespace

std::string FormatDelayJson(const DelayStatus& s) {
  const bool reflector = s.reflector != 0;
  return std::string("{\"state\":") + JsonString(DelayStateName(s.state)) +
         ",\"reason\":" + (s.reason.empty() ? std::string("null") : JsonString(s.reason)) +
         ",\"reflector\":" + (reflector ? JsonString(AddressText(s.reflector)) : "null") +
         ",\"hop\":" + NumberOrNull(reflector, s.hop) +
         ",\"base_ms\":" + NumberOrNull(s.measured, s.base_ms) +
         ",\"current_ms\":" + NumberOrNull(s.measured, s.current_ms) +
         ",\"target_ms\":" + std::to_string(s.target_ms) +
         ",\"rate_bytes_per_second\":" + NumberOrNull(s.rate != 0, s.rate) + "}";
}

std::string FormatDelayRow(const DelayStatus& s) {
  switch (s.state) {
    case DelayState::kOff:
      return "off (" + s.reason + ")";
    case DelayState::kIdle:
      return "idle: no internet peer is being served";
    case DelayState::kSearching:
      return "searching for a reflector past the router";
    case DelayState::kNoReflector:
      return "no reflector answers: uploads go on as without control";
    default:
      break;
  }
  std::string row = s.state == DelayState::kGivingWay ? "giving way to other traffic: "
                                                      : "open, nothing to give way to: ";
  if (Measuring(s) && s.measured) {
    const uint32_t queued = s.current_ms > s.base_ms ? s.current_ms - s.base_ms : 0;
    row += std::to_string(queued) + " ms queued over " + std::to_string(s.base_ms) +
           " ms (target " + std::to_string(s.target_ms) + " ms), ";
  }
  row += RateText(s.rate) + " allowed; reflector " + AddressText(s.reflector) + " (hop " +
         std::to_string(s.hop) + ")";
  return row;
}

void DelayHistory::Add(int64_t now_s, uint32_t queueing_ms) {
  Slot& slot = m_slots[static_cast<size_t>(((now_s % kSeconds) + kSeconds) % kSeconds)];
  if (slot.stamp != now_s) {
    slot.stamp = now_s;
    slot.ms = queueing_ms;
  } else if (queueing_ms > slot.ms) {
    slot.ms = queueing_ms;
  }
}

std::vector<int64_t> DelayHistory::Read(int64_t now_s) const {
  std::vector<int64_t> values;
  values.reserve(kSeconds);
  for (int64_t second = now_s - kSeconds + 1; second <= now_s; ++second) {
    const Slot& slot = m_slots[static_cast<size_t>(((second % kSeconds) + kSeconds) % kSeconds)];
    values.push_back(slot.stamp == second ? static_cast<int64_t>(slot.ms) : -1);
  }
  return values;
}

std::string DelayListJson(const std::vector<int64_t>& values) {
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) text += ',';
    text += values[i] < 0 ? "null" : std::to_string(values[i]);
  }
  return text + "]";
}
