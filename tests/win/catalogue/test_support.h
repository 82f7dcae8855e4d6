// Helpers for tests that run engine code against a scratch registry key and
// scratch files: a log that keeps its lines, and a sandbox that removes both.
#pragma once

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/file_check.h"
#include "catalogue/registry_value.h"
#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/log.h"

namespace zrvd_test {

// Keeps every message written through LogMessage/LogInfo. Installed as g_log
// for the life of the object; safe from any thread.
class CapturingLog : public ILog {
 public:
  CapturingLog() { g_log = this; }
  ~CapturingLog() override { g_log = nullptr; }
  void Release() override {}
  void Write(const char*, int32_t, const char* message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.emplace_back(message);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  size_t Count(const std::string& line) {
    size_t n = 0;
    for (const auto& l : Lines()) n += (l == line);
    return n;
  }
  bool Has(const std::string& line) { return Count(line) > 0; }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

// A scratch engine key under HKCU (set as g_regRoot/g_regPath) and a scratch
// folder; both are removed when the sandbox goes.
class Sandbox {
 public:
  explicit Sandbox(const std::string& name) {
    const std::string unique = name + "-" + std::to_string(GetCurrentProcessId());
    m_regPath = "Software\\ZrvdTests\\" + unique;
    SHDeleteKeyA(HKEY_CURRENT_USER, m_regPath.c_str());
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, m_regPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    RegCloseKey(key);
    g_regRoot = HKEY_CURRENT_USER;
    g_regPath = m_regPath;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    m_folder = std::string(temp) + "zrvd-" + unique;
    CreateDirectoryA(m_folder.c_str(), nullptr);
  }
  ~Sandbox() {
    SHDeleteKeyA(HKEY_CURRENT_USER, m_regPath.c_str());
    for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) DeleteFileA(it->c_str());
    for (auto it = m_dirs.rbegin(); it != m_dirs.rend(); ++it) RemoveDirectoryA(it->c_str());
    RemoveDirectoryA(m_folder.c_str());
  }

  const std::string& RegPath() const { return m_regPath; }
  std::string EntryPath(const std::string& md5) const { return m_regPath + "\\" + md5; }

  // A file of `size` bytes (sparse past what is written: contents do not matter).
  std::string MakeFile(const std::string& name, uint64_t size) {
    return MakeFileAt(m_folder + "\\" + name, size);
  }
  std::string MakeFileAt(const std::string& path, uint64_t size) {
    zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
    SetEndOfFile(file.get());
    m_files.push_back(path);
    return path;
  }
  std::string MakeDir(const std::string& path) {
    CreateDirectoryA(path.c_str(), nullptr);
    m_dirs.push_back(path);
    return path;
  }
  const std::string& Folder() const { return m_folder; }

 private:
  std::string m_regPath;
  std::string m_folder;
  std::vector<std::string> m_files;
  std::vector<std::string> m_dirs;
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
