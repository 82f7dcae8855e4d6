#include "daemon/instance.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kDeleteRetries = 20;
constexpr DWORD kDeleteRetryPauseMs = 100;

HANDLE g_instanceMutex = nullptr;

void CloseInstanceMutexAtExit() {
  if (g_instanceMutex) {
    CloseHandle(g_instanceMutex);
    g_instanceMutex = nullptr;
  }
}

// An old side copy may be read-only or still held by an ending process.
void DeleteStaleCopy(const char* path) {
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  // At most kDeleteRetries + 1 attempts; the copy is tried whatever the outcome.
  for (int retries = 0; !DeleteFileA(path); ++retries) {
    Sleep(kDeleteRetryPauseMs);
    if (retries == kDeleteRetries) break;
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  }
}

}  // namespace

bool AcquireInstanceMutex(const char* guid) {
  static const bool created = [guid] {
    char name[64];
    std::snprintf(name, sizeof(name), "Global\\%s", guid);
    g_instanceMutex = CreateMutexA(nullptr, FALSE, name);
    if (g_instanceMutex && GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(g_instanceMutex);
      g_instanceMutex = nullptr;
    }
    std::atexit(CloseInstanceMutexAtExit);
    return true;
  }();
  (void)created;
  return g_instanceMutex == nullptr;
}

void ReleaseInstanceMutex() { CloseInstanceMutexAtExit(); }

bool RelaunchFromBinCopy() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (_stricmp(PathFindExtensionA(self), ".bin") == 0) return false;

  char copy[MAX_PATH];
  std::strncpy(copy, self, MAX_PATH);
  copy[MAX_PATH - 1] = '\0';
  PathRenameExtensionA(copy, ".bin");

  if (PathFileExistsA(copy)) DeleteStaleCopy(copy);
  CopyFileA(self, copy, FALSE);

  char directory[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, directory);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_FORCEONFEEDBACK;
  PROCESS_INFORMATION process = {};

  // The copy would find our mutex and end at once: hand the name over first.
  ReleaseInstanceMutex();
  if (CreateProcessA(copy, nullptr, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup,
                     &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return true;
}
