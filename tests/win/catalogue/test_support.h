// Helpers for tests that run catalogue code against a scratch registry key and
// scratch files: a sandbox that removes both, and registry entries as the share
// command writes them.
#pragma once

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <functional>
#include <string>

#include "catalogue/file_check.h"
#include "catalogue/registry_value.h"
#include "common/unique_any.h"
#include "runtime/globals.h"
#include "tests/win/support/capture_log.h"
#include "tests/win/support/temp_folder.h"

namespace zrvd_test {

// A scratch engine key under HKCU (set as g_regRoot/g_regPath) and a scratch
// folder; both are removed when the sandbox goes.
class Sandbox : public TempFolder {
 public:
  explicit Sandbox(const std::string& name) : TempFolder(name) {
    m_regPath = "Software\\ZrvdTests\\" + name + "-" + std::to_string(GetCurrentProcessId());
    SHDeleteKeyA(HKEY_CURRENT_USER, m_regPath.c_str());
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, m_regPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    RegCloseKey(key);
    g_regRoot = HKEY_CURRENT_USER;
    g_regPath = m_regPath;
  }
  ~Sandbox() { SHDeleteKeyA(HKEY_CURRENT_USER, m_regPath.c_str()); }

  const std::string& RegPath() const { return m_regPath; }
  std::string EntryPath(const std::string& md5) const { return m_regPath + "\\" + md5; }

 private:
  std::string m_regPath;
};

// Polls `done` every 10 ms for up to 20 s: for what another thread does by itself.
inline bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    Sleep(10);
  }
  return false;
}

// Moves a file's last-write time `days` days into the past.
inline bool AgeFile(const std::string& path, int days) {
  zrvd::unique_hfile file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart -= static_cast<ULONGLONG>(days) * 24 * 3600 * 10000000ULL;
  FILETIME past;
  past.dwLowDateTime = t.LowPart;
  past.dwHighDateTime = t.HighPart;
  return SetFileTime(file.get(), nullptr, nullptr, &past) != FALSE;
}

inline std::string ModifyTimeOf(const std::string& path) {
  zrvd::unique_hfile file(OpenForAttributes(path));
  return file ? FormatModifyTime(file.get()) : std::string();
}

// Writes an entry the way the share command does: five values, texts without
// NUL. The key is made relative to its parent: long names would overflow the
// path limit of the ANSI registry calls.
inline bool WriteEntry(const std::string& key_path, const std::string& local_path,
                       const std::string& modify_time, DWORD length) {
  const size_t slash = key_path.rfind('\\');
  zrvd::unique_hkey parent;
  zrvd::unique_hkey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key_path.substr(0, slash).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, parent.put(), nullptr) != ERROR_SUCCESS ||
      RegCreateKeyExA(parent.get(), key_path.substr(slash + 1).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  WriteStringValue(key.get(), "LocalPath", local_path);
  WriteStringValue(key.get(), "Url", "http://example.invalid/f");
  WriteStringValue(key.get(), "ModifyTime", modify_time);
  WriteDwordValue(key.get(), "Length", length);
  WriteDwordValue(key.get(), "FileType", 0);
  return true;
}

inline bool KeyExists(const std::string& key_path) {
  const size_t slash = key_path.rfind('\\');
  zrvd::unique_hkey parent;
  zrvd::unique_hkey key;
  return RegOpenKeyExA(HKEY_CURRENT_USER, key_path.substr(0, slash).c_str(), 0, KEY_READ,
                       parent.put()) == ERROR_SUCCESS &&
         RegOpenKeyExA(parent.get(), key_path.substr(slash + 1).c_str(), 0, KEY_READ,
                       key.put()) == ERROR_SUCCESS;
}

// The stored size of a value, in bytes, as the registry keeps it (UTF-16).
inline DWORD StoredValueBytes(const std::string& key_path, const wchar_t* name) {
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key_path.c_str(), 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    return 0;
  }
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return size;
}

}  // namespace zrvd_test
