#include "uploadpolicy/upload_control.h"

#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/registry_read.h"
#include "uploadpolicy/delay_probe.h"
#include "uploadpolicy/metered_watch.h"
#include "uploadpolicy/upload_book.h"
#include "uploadpolicy/upload_policy.h"
#include "uploadpolicy/upload_throttle.h"

namespace {

constexpr char kMsgCap[] = "Upload cap in force: %s";
constexpr char kMsgRefused[] = "Setting %s ignored (%s); the previous value stays";

struct Control {
  std::mutex mutex;
  UploadSettings settings;
  bool game_running = false;
  bool applied = false;
  UploadCap cap;
  // The stored value last refused, by name, byte for byte: a refusal is logged
  // again only when it changes.
  std::map<std::string, StoredBytes> refused;
  std::function<void(int32_t)> set_max_connections_per_peer;
};

Control& State() {
  static Control control;
  return control;
}

// Puts the settings and the game state into force; logs when the cap moves.
void ApplyLocked(Control& control) {
  const UploadCap cap = CapInForce(control.settings, control.game_running);
  UploadThrottle& throttle = UploadThrottle::Shared();
  throttle.SetCap(CapBytesPerSecond(cap));
  throttle.SetPaused(cap.mode == UploadMode::kPaused);
  UploadBook& book = UploadBook::Shared();
  book.SetPaused(cap.mode == UploadMode::kPaused);
  UploadBook::Settings peers;
  peers.serve_on_metered = control.settings.serve_on_metered;
  peers.budget_bytes = BudgetBytes(control.settings);
  peers.lan_uncapped = control.settings.lan_uncapped;
  book.SetSettings(peers);
  SetDelaySettings(control.settings.delay_control, control.settings.delay_target_ms);
  if (control.set_max_connections_per_peer) {
    control.set_max_connections_per_peer(
        static_cast<int32_t>(control.settings.max_connections_per_peer));
  }
  if (!control.applied || !(cap == control.cap)) {
    LogInfo(kMsgCap, DescribeCap(cap).c_str());
  }
  control.applied = true;
  control.cap = cap;
}

}  // namespace

void SetUploadControlledServer(std::function<void(int32_t)> set_max_connections_per_peer) {
  Control& control = State();
  std::lock_guard<std::mutex> lock(control.mutex);
  control.set_max_connections_per_peer = std::move(set_max_connections_per_peer);
  if (control.set_max_connections_per_peer) {
    control.set_max_connections_per_peer(
        static_cast<int32_t>(control.settings.max_connections_per_peer));
  }
}

void ReloadUploadSettings() {
  // Read before the lock: registry calls take their time.
  std::vector<StoredValue> values;
  std::vector<StoredBytes> raws;
  {
    zrvd::unique_hkey key;
    RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_QUERY_VALUE, key.put());
    for (const char* name : kUploadSettingNames) {
      raws.emplace_back();
      values.push_back(ReadStoredValue(key.get(), name, REG_DWORD, &raws.back()));
    }
  }
  Control& control = State();
  std::lock_guard<std::mutex> lock(control.mutex);
  for (size_t index = 0; index < raws.size(); ++index) {
    const char* name = kUploadSettingNames[index];
    std::string refusal;
    if (ApplyUploadSetting(name, values[index], &control.settings, &refusal)) {
      control.refused.erase(name);
      continue;
    }
    auto last = control.refused.find(name);
    if (last != control.refused.end() && last->second == raws[index]) continue;
    control.refused[name] = raws[index];
    LogInfo(kMsgRefused, name, refusal.c_str());
  }
  ApplyLocked(control);
}

void SetGameRunning(bool running) {
  Control& control = State();
  std::lock_guard<std::mutex> lock(control.mutex);
  if (control.applied && control.game_running == running) return;
  control.game_running = running;
  ApplyLocked(control);
}

UploadStateNow ReadUploadState() {
  Control& control = State();
  std::lock_guard<std::mutex> lock(control.mutex);
  UploadStateNow now;
  now.game_running = control.game_running;
  now.cap = CapInForce(control.settings, control.game_running);
  return now;
}
