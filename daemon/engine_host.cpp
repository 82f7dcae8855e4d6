#include "daemon/engine_host.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <string>

#include "daemon/daemon_names.h"
#include "daemon/firewall.h"
#include "engine/kovashare.h"
#include "identity/machine_fingerprint.h"
#include "identity/user_id.h"
#include "runtime/globals.h"

namespace {
constexpr wchar_t kFirewallRuleName[] = L"TESK_ZRVD_DAEMON";
}

bool StartSharingEngine() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  wchar_t self_wide[MAX_PATH] = {};
  MultiByteToWideChar(CP_ACP, 0, self, -1, self_wide, MAX_PATH);

  AuthorizeInFirewall(self_wide, kFirewallRuleName);
  KovaShareSetRegPath(HKEY_LOCAL_MACHINE, kEngineKeyPath);

  uint8_t fingerprint[16] = {};
  ComputeMachineFingerprint(fingerprint);
  const std::string user_id = FormatUserId(fingerprint);
  char line[MAX_PATH];
  wsprintfA(line, "UserID: %s", user_id.c_str());
  OutputDebugStringA(line);
  KovaShareSetUserID(user_id.c_str());

  KovaShareStart(0);

  DWORD port = static_cast<DWORD>(KovaShareGetIPCPort());
  SHSetValueA(HKEY_LOCAL_MACHINE, kEngineKeyPath, kIpcPortValue, REG_DWORD, &port, sizeof(port));

  RemoveFromFirewall(self_wide);
  return true;
}
