#include "daemon/instance.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/unique_any.h"
#include "daemon/process_walk.h"

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

// This process's side copy: itself when it runs from a ".bin" file.
void SideCopyPath(char (&copy)[MAX_PATH]) {
  GetModuleFileNameA(nullptr, copy, MAX_PATH);
  if (_stricmp(PathFindExtensionA(copy), ".bin") != 0) PathRenameExtensionA(copy, ".bin");
}

// One spelling per file: a daemon started by a short path names it so.
bool SamePath(const char* a, const char* b) {
  char long_a[MAX_PATH] = {}, long_b[MAX_PATH] = {};
  if (!GetLongPathNameA(a, long_a, MAX_PATH)) lstrcpynA(long_a, a, MAX_PATH);
  if (!GetLongPathNameA(b, long_b, MAX_PATH)) lstrcpynA(long_b, b, MAX_PATH);
  return lstrcmpiA(long_a, long_b) == 0;
}

struct CopyRunners {
  const char* copy;
  std::vector<zrvd::unique_handle> processes;
};

int KeepCopyRunner(const char* path, unsigned long id, void* process, void* context) {
  auto* runners = static_cast<CopyRunners*>(context);
  HANDLE self = GetCurrentProcess();
  HANDLE kept = nullptr;
  if (id != GetCurrentProcessId() && SamePath(path, runners->copy) &&
      DuplicateHandle(self, process, self, &kept, SYNCHRONIZE, FALSE, 0)) {
    runners->processes.emplace_back(kept);
  }
  return 0;
}

}  // namespace

bool WaitForPreviousDaemon(unsigned long wait_ms) {
  char copy[MAX_PATH] = {};
  SideCopyPath(copy);
  CopyRunners runners{copy, {}};
  WalkProcessHandles(&runners, KeepCopyRunner);
  const DWORD begin = GetTickCount();
  for (const zrvd::unique_handle& process : runners.processes) {
    const DWORD spent = GetTickCount() - begin;
    if (WaitForSingleObject(process.get(), spent < wait_ms ? wait_ms - spent : 0) !=
        WAIT_OBJECT_0) {
      return false;
    }
  }
  return true;
}

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
