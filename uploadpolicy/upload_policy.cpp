#include "uploadpolicy/upload_policy.h"

#include <cstdint>

const char* const kUploadSettingNames[9] = {
    "UploadLimitKBps",           "UploadLimitInGameKBps",    "SharingPaused",
    "MaxConnectionsPerPeer",     "UploadOnMeteredConnection", "UploadMonthlyLimitMB",
    "LanPeersUncapped",          "UploadDelayControl",        "UploadDelayTargetMs"};

namespace {

bool ApplySwitch(const StoredValue& stored, bool absent_value, bool* on, std::string* refusal) {
  if (stored.kind == StoredValue::Kind::kRight && stored.value > 1) {
    *refusal = "neither 0 nor 1";
    return false;
  }
  *on = stored.kind == StoredValue::Kind::kAbsent ? absent_value : stored.value == 1;
  return true;
}

bool ApplyCap(const StoredValue& stored, uint32_t* cap, std::string* refusal) {
  if (stored.kind == StoredValue::Kind::kAbsent) {
    *cap = 0;
    return true;
  }
  if (stored.value != 0 && stored.value < kMinUploadCapKBps) {
    *refusal = "a cap below 4 KiB/s";
    return false;
  }
  *cap = static_cast<uint32_t>(stored.value);
  return true;
}

}  // namespace

bool ApplyUploadSetting(const std::string& name, const StoredValue& stored,
                        UploadSettings* settings, std::string* refusal) {
  if (stored.kind == StoredValue::Kind::kOther) {
    *refusal = "not a REG_DWORD";
    return false;
  }
  const bool absent = stored.kind == StoredValue::Kind::kAbsent;
  if (name == kUploadSettingNames[0]) return ApplyCap(stored, &settings->limit_kbps, refusal);
  if (name == kUploadSettingNames[1]) return ApplyCap(stored, &settings->in_game_kbps, refusal);
  if (name == kUploadSettingNames[2]) {
    if (!absent && stored.value > 1) {
      *refusal = "neither 0 nor 1";
      return false;
    }
    settings->paused = !absent && stored.value == 1;
    return true;
  }
  if (name == kUploadSettingNames[3]) {
    if (!absent && stored.value == 0) {
      *refusal = "0 would refuse every peer";
      return false;
    }
    settings->max_connections_per_peer = absent ? UploadSettings().max_connections_per_peer
                                                : static_cast<uint32_t>(stored.value);
    return true;
  }
  if (name == kUploadSettingNames[4]) {
    return ApplySwitch(stored, false, &settings->serve_on_metered, refusal);
  }
  if (name == kUploadSettingNames[5]) {
    settings->monthly_limit_mb = absent ? 0 : static_cast<uint32_t>(stored.value);
    return true;
  }
  if (name == kUploadSettingNames[6]) {
    return ApplySwitch(stored, true, &settings->lan_uncapped, refusal);
  }
  if (name == kUploadSettingNames[7]) {
    return ApplySwitch(stored, true, &settings->delay_control, refusal);
  }
  if (name == kUploadSettingNames[8]) {
    if (!absent && (stored.value < kMinDelayTargetMs ||
                    stored.value > kMaxDelayTargetMs)) {
      *refusal = "a target outside 3 to 200 ms";
      return false;
    }
    settings->delay_target_ms = absent ? UploadSettings().delay_target_ms : stored.value;
    return true;
  }
  *refusal = "not an upload setting";
  return false;
}

bool operator==(const UploadCap& a, const UploadCap& b) {
  return a.mode == b.mode && a.kbps == b.kbps;
}

UploadCap CapInForce(const UploadSettings& settings, bool game_running) {
  UploadCap cap;
  if (settings.paused) {
    cap.mode = UploadMode::kPaused;
  } else if (game_running && settings.in_game_kbps != 0) {
    cap.mode = UploadMode::kInGame;
    cap.kbps = settings.in_game_kbps;
  } else {
    cap.mode = game_running ? UploadMode::kInGame : UploadMode::kNormal;
    cap.kbps = settings.limit_kbps;
  }
  if (cap.kbps > kMaxUploadCapKBps) cap.kbps = 0;
  return cap;
}

uint32_t CapBytesPerSecond(const UploadCap& cap) {
  const uint64_t bytes = static_cast<uint64_t>(cap.kbps) * 1024;
  return bytes > UINT32_MAX ? 0 : static_cast<uint32_t>(bytes);
}

namespace {

// Decimal digits only; false for anything else. Saturates past `most`, so any
// larger number reads as most + 1.
bool ParseDigits(const std::string& text, uint32_t most, uint64_t* value) {
  bool digits = !text.empty();
  *value = 0;
  for (char c : text) {
    digits = digits && c >= '0' && c <= '9';
    if (digits && *value <= most) *value = *value * 10 + static_cast<uint64_t>(c - '0');
  }
  return digits;
}

}  // namespace

bool ParseCapText(const std::string& text, uint32_t* kbps, std::string* error) {
  uint64_t value = 0;
  if (!ParseDigits(text, kMaxUploadCapKBps, &value)) {
    *error = "KBPS must be a whole number of KiB/s";
    return false;
  }
  if (value > kMaxUploadCapKBps || (value != 0 && value < kMinUploadCapKBps)) {
    *error = "a cap is 0 (none) or from 4 to 4194303 KiB/s";
    return false;
  }
  *kbps = static_cast<uint32_t>(value);
  return true;
}

uint64_t BudgetBytes(const UploadSettings& settings) {
  if (settings.monthly_limit_mb > kMaxMonthlyBudgetMB) return 0;
  return static_cast<uint64_t>(settings.monthly_limit_mb) << 20;
}

bool ParseBudgetText(const std::string& text, uint32_t* mb, std::string* error) {
  uint64_t value = 0;
  if (!ParseDigits(text, kMaxMonthlyBudgetMB, &value)) {
    *error = "MB must be a whole number of MiB";
    return false;
  }
  if (value > kMaxMonthlyBudgetMB) {
    *error = "a budget is from 0 (none) to 4194303 MiB";
    return false;
  }
  *mb = static_cast<uint32_t>(value);
  return true;
}

std::string DescribeCap(const UploadCap& cap) {
  if (cap.mode == UploadMode::kPaused) return "paused";
  const std::string mode = cap.mode == UploadMode::kInGame ? "in game, " : "normal, ";
  return mode + (cap.kbps == 0 ? std::string("no cap") : std::to_string(cap.kbps) + " KiB/s");
}
