#include "tools/zrvdctl_upload.h"

#include <windows.h>

#include <cstdio>
#include <cstdint>
#include <string>

#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/registry_read.h"
#include "uploadpolicy/upload_policy.h"

namespace {

int Fail(const char* text) {
  std::fprintf(stderr, "zrvdctl: %s\n", text);
  return 1;
}

// Prints each setting as stored, and what the engine makes of it.
void PrintSettings(HKEY key) {
  UploadSettings settings;
  for (const char* name : kUploadSettingNames) {
    const StoredValue stored = ReadStoredValue(key, name, REG_DWORD);
    std::string refusal;
    if (!ApplyUploadSetting(name, stored, &settings, &refusal)) {
      std::printf("%-22s ignored: %s\n", name, refusal.c_str());
    }
  }
  std::printf("%-22s %s\n", "UploadLimitKBps",
              settings.limit_kbps ? std::to_string(settings.limit_kbps).c_str() : "0 (no cap)");
  std::printf("%-22s %s\n", "UploadLimitInGameKBps",
              settings.in_game_kbps ? std::to_string(settings.in_game_kbps).c_str()
                                    : "0 (the normal cap applies)");
  std::printf("%-22s %s\n", "SharingPaused", settings.paused ? "1 (paused)" : "0 (serving)");
  std::printf("%-22s %u\n", "MaxConnectionsPerPeer", settings.max_connections_per_peer);
  std::printf("%-22s %s\n", "UploadOnMeteredConnection",
              settings.serve_on_metered ? "1 (internet peers served on a metered link)"
                                        : "0 (not on a metered link)");
  std::printf("%-22s %s\n", "UploadMonthlyLimitMB",
              BudgetBytes(settings) ? std::to_string(settings.monthly_limit_mb).c_str()
                                    : "0 (no budget)");
  std::printf("%-22s %s\n", "LanPeersUncapped",
              settings.lan_uncapped ? "1 (LAN peers outside the caps)" : "0 (LAN peers capped)");
  std::printf("%-22s %s\n", "UploadDelayControl",
              settings.delay_control ? "1 (uploads give way to other traffic)" : "0 (caps only)");
  std::printf("%-22s %u ms\n", "UploadDelayTargetMs", settings.delay_target_ms);
  std::printf("%-22s %s\n", "cap without the game", DescribeCap(CapInForce(settings, false)).c_str());
  std::printf("%-22s %s\n", "cap while it runs", DescribeCap(CapInForce(settings, true)).c_str());
}

int Write(const char* name, DWORD value) {
  zrvd::unique_hkey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngineKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS ||
      RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof(value)) != ERROR_SUCCESS) {
    return Fail("cannot write the engine key");
  }
  PrintSettings(key.get());
  return 0;
}

}  // namespace

int RunUploadCommand(const std::string& command, int argc, char** argv) {
  const bool is_limit = command == "limit" || command == "limit-in-game";
  if (is_limit && argc == 3) {
    uint32_t kbps = 0;
    std::string error;
    if (!ParseCapText(argv[2], &kbps, &error)) return Fail(error.c_str());
    return Write(command == "limit" ? "UploadLimitKBps" : "UploadLimitInGameKBps", kbps);
  }
  if (command == "budget" && argc == 3) {
    uint32_t mb = 0;
    std::string error;
    if (!ParseBudgetText(argv[2], &mb, &error)) return Fail(error.c_str());
    return Write("UploadMonthlyLimitMB", mb);
  }
  if (command == "pause" && argc == 2) return Write("SharingPaused", 1);
  if (command == "resume" && argc == 2) return Write("SharingPaused", 0);
  return -1;
}
