// The player's upload settings, and the cap they put in force with the game's
// state. Values come from REG_DWORDs under the engine key; a value that cannot
// be right is refused and the setting keeps what it had.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/stored_value.h"
#include "uploadpolicy/delay_control.h"

struct UploadSettings {
  uint32_t limit_kbps = 0;          // "UploadLimitKBps"; 0: no cap
  uint32_t in_game_kbps = 0;        // "UploadLimitInGameKBps"; 0: the normal cap applies
  bool paused = false;              // "SharingPaused"
  uint32_t max_connections_per_peer = 16;  // "MaxConnectionsPerPeer"
  bool serve_on_metered = false;    // "UploadOnMeteredConnection"
  uint32_t monthly_limit_mb = 0;    // "UploadMonthlyLimitMB"; 0: no budget
  bool lan_uncapped = true;         // "LanPeersUncapped"
  bool delay_control = true;        // "UploadDelayControl"
  uint32_t delay_target_ms = kDefaultDelayTargetMs;  // "UploadDelayTargetMs"
};

// Below this a cap would starve every peer into its stall time-out.
constexpr uint32_t kMinUploadCapKBps = 4;
// The largest cap whose bytes per second a 32-bit count holds; a stored cap
// above it is no cap at all (0xFFFFFFFF reads as "unlimited" to integrators).
constexpr uint32_t kMaxUploadCapKBps = 4194303;

// The value names, in the order they are read.
extern const char* const kUploadSettingNames[9];

// Applies one stored value. An absent value gives the default. False, with the
// reason and the setting unchanged, for a value of another type or out of range.
bool ApplyUploadSetting(const std::string& name, const StoredValue& stored,
                        UploadSettings* settings, std::string* refusal);

enum class UploadMode { kNormal, kInGame, kPaused };

struct UploadCap {
  UploadMode mode = UploadMode::kNormal;
  uint32_t kbps = 0;  // 0: none; never above kMaxUploadCapKBps
};
bool operator==(const UploadCap& a, const UploadCap& b);

UploadCap CapInForce(const UploadSettings& settings, bool game_running);

// The cap in bytes per second, as the throttle takes it; 0: none.
uint32_t CapBytesPerSecond(const UploadCap& cap);

// A cap as a player types it for zrvdctl: decimal KiB/s, 0 or from 4 to
// kMaxUploadCapKBps. False, with the reason, for anything else.
bool ParseCapText(const std::string& text, uint32_t* kbps, std::string* error);

// The largest budget; a stored one above it is none, as a cap is.
constexpr uint32_t kMaxMonthlyBudgetMB = 4194303;

// The monthly budget in bytes, as the book takes it; 0: none.
uint64_t BudgetBytes(const UploadSettings& settings);

// A budget as a player types it for zrvdctl: decimal MiB from 0 (none) to
// kMaxMonthlyBudgetMB; any size is a real budget, the smallest included.
bool ParseBudgetText(const std::string& text, uint32_t* mb, std::string* error);

// "normal, 2048 KiB/s", "in game, 512 KiB/s", "normal, no cap", "paused".
std::string DescribeCap(const UploadCap& cap);
