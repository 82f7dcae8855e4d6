#include "runtime/settings.h"

#include <windows.h>
#include <shlwapi.h>

#include "runtime/globals.h"
#include "runtime/log.h"

namespace {

// Host names are at most 253 bytes; with ":65535" and slack, 300 holds any
// sound value.
constexpr DWORD kSettingBytes = 300;

HostSetting ReadHostSetting(const char* name, const char* default_host) {
  HostSetting setting;
  setting.host = default_host;
  char buffer[kSettingBytes + 1] = {};
  DWORD type = 0;
  DWORD size = kSettingBytes;
  if (!g_regRoot ||
      SHGetValueA(g_regRoot, g_regPath.c_str(), name, &type, buffer, &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return setting;
  }
  // The text may come with or without its NUL.
  const std::string text(buffer, strnlen(buffer, size));
  if (!ParseHostSetting(text, &setting)) {
    LogInfo("Setting %s \"%s\" is not host or host:port; using %s", name, text.c_str(),
            default_host);
  }
  return setting;
}

}  // namespace

HostSetting ReadTrackerHost() { return ReadHostSetting("TrackerHost", kDefaultTrackerHost); }

HostSetting ReadProbeHost() { return ReadHostSetting("ProbeHost", kDefaultProbeHost); }
