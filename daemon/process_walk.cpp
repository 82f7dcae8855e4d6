#include "daemon/process_walk.h"

#include <windows.h>
#include <tlhelp32.h>

#include <functional>

#include "common/unique_any.h"

namespace {

using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using GetModuleFileNameExAFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Process32Fn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

constexpr DWORD kFirstIdBufferBytes = 1024;
// The 9x entry size; the NT headers' PROCESSENTRY32 has the same layout.
constexpr DWORD kProcessEntrySize = 296;
static_assert(sizeof(PROCESSENTRY32) == kProcessEntrySize || sizeof(void*) != 4,
              "PROCESSENTRY32 layout");

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

int GetPlatformId() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA size");
  if (!GetVersionExA(&info)) return -1;
  switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT:
      return 2;
    case VER_PLATFORM_WIN32_WINDOWS:
      return 1;
    default:
      return -1;
  }
}

int WalkProcesses(void* context, ProcessCallback callback) {
  switch (GetPlatformId()) {
    case 2:
      return WalkProcessesPsapi(context, callback);
    case 1:
      return WalkProcessesToolhelp(context, callback);
    default:
      return 0;
  }
}

namespace {

int WalkPsapi(DWORD access, const std::function<int(const char*, DWORD, HANDLE)>& callback) {
  zrvd::unique_hmodule psapi(LoadLibraryA("psapi.dll"));
  if (!psapi) return 0;
  auto enum_processes = Lookup<EnumProcessesFn>(psapi.get(), "EnumProcesses");
  auto module_file_name = Lookup<GetModuleFileNameExAFn>(psapi.get(), "GetModuleFileNameExA");
  if (!enum_processes || !module_file_name) return 0;

  // A full buffer may mean a cut list: double it until the answer is shorter.
  zrvd::unique_heap_ptr ids;
  DWORD capacity = kFirstIdBufferBytes;
  DWORD returned = 0;
  for (;;) {
    ids.reset(HeapAlloc(GetProcessHeap(), 0, capacity));
    if (!ids) return 0;
    if (!enum_processes(static_cast<DWORD*>(ids.get()), capacity, &returned)) return 0;
    if (returned < capacity) break;
    capacity *= 2;
  }

  const DWORD* pids = static_cast<const DWORD*>(ids.get());
  for (DWORD i = 0; i < returned / sizeof(DWORD); ++i) {
    char path[MAX_PATH] = {};
    zrvd::unique_handle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | access, FALSE, pids[i]));
    if (!process) continue;
    module_file_name(process.get(), nullptr, path, MAX_PATH);
    if (path[0] == '\0') continue;
    if (callback(path, pids[i], process.get()) == 1) return 1;
  }
  return 0;
}

}  // namespace

int WalkProcessesPsapi(void* context, ProcessCallback callback) {
  return WalkPsapi(0, [&](const char* path, DWORD, HANDLE) { return callback(path, context); });
}

int WalkProcessHandles(void* context, ProcessHandleCallback callback) {
  if (GetPlatformId() != 2) return 0;
  return WalkPsapi(SYNCHRONIZE,
                   [&](const char* path, DWORD id, HANDLE process) {
                     return callback(path, id, process, context);
                   });
}

int WalkProcessesToolhelp(void* context, ProcessCallback callback) {
  zrvd::unique_hmodule kernel(LoadLibraryA("Kernel32.dll"));
  if (!kernel) return 0;
  auto create_snapshot = Lookup<CreateSnapshotFn>(kernel.get(), "CreateToolhelp32Snapshot");
  auto first = Lookup<Process32Fn>(kernel.get(), "Process32First");
  auto next = Lookup<Process32Fn>(kernel.get(), "Process32Next");
  if (!create_snapshot || !first || !next) return 0;

  zrvd::unique_hfile snapshot(create_snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = first(snapshot.get(), &entry); more; more = next(snapshot.get(), &entry)) {
    if (callback(entry.szExeFile, context) != 0) return 1;
    entry.dwSize = sizeof(entry);
  }
  return 0;
}
