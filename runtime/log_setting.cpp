#include "runtime/log_setting.h"

#include <windows.h>

#include "common/unique_any.h"
#include "runtime/globals.h"

std::string ReadLogPathSetting() {
  // Read raw: SHGetValueA would expand a REG_EXPAND_SZ and report it as
  // REG_SZ, and only a plain REG_SZ names the log.
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngineKeyPath, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return "null";
  }
  char buffer[1024];
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(key.get(), "P4PShareLogFilePath", nullptr, &type,
                       reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return "null";
  }
  // Stored texts may lack their NUL; the size the registry reports bounds them.
  size_t length = size < sizeof(buffer) ? size : sizeof(buffer) - 1;
  buffer[length] = '\0';
  return buffer;
}
