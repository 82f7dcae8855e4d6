#include "daemon/crash_dump.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "daemon/crash_dump_rules.h"
#include "runtime/globals.h"
#include "runtime/log_format.h"
#include "runtime/log_setting.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

using LoaderLockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
using LoaderUnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
using QueryProcessFn = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

// Everything the crash path needs is made at install time, in static storage:
// a crashed process may hold its loader lock (a new thread could not start)
// or its heap lock (an allocation would wait for ever).
struct CrashSetup {
  char folder[MAX_PATH];  // empty or ending in a separator
  size_t folder_length;
  char log_path[MAX_PATH];  // empty for the console
  MiniDumpWriteDumpFn write_dump;
  LoaderLockFn lock_loader;  // null where the system has none (9x)
  LoaderUnlockFn unlock_loader;
  // The system's loader lock, whose owner tells who may write; null if unknown.
  const CRITICAL_SECTION* loader_lock;
  // Never closed, nor owned by anything that closes at exit: the two threads
  // wait on them for the rest of the process, and a closed handle would end
  // their waits.
  HANDLE start;   // set by the filter once the crash is copied below
  HANDLE probed;  // set by the dump thread once it knows whether the locks are free
  HANDLE done;    // set once the dump and its log line are written
};
CrashSetup g_setup;
bool g_installed = false;

// The crash, copied off the crashed thread's stack before the dump thread runs.
EXCEPTION_RECORD g_record;
CONTEXT g_context;
EXCEPTION_POINTERS g_pointers = {&g_record, &g_context};
DWORD g_threadId;
// Which thread writes the dump: the first to claim it.
LONG g_writer = 0;
// The first thread to fault, and the dump thread: a fault on either while the
// dump is under way ends the process at once; one on any other thread waits
// for the first crash to end it.
LONG g_faulted = 0;
DWORD g_dumpThreadId = 0;
// Whether the loader lock and the process heap answered the dump thread.
LONG g_locksFree = 0;
char g_path[MAX_PATH + 64];
char g_message[MAX_PATH + 224];
char g_line[kLogLineBufferSize];

// MiniDumpWriteDump's own needs, with room; the guard needs next to nothing.
constexpr SIZE_T kDumpThreadStack = 256 * 1024;
constexpr SIZE_T kGuardThreadStack = 64 * 1024;
// A thread starts within milliseconds; a start that takes longer is not waited for.
constexpr DWORD kThreadStartWaitMs = 5000;
// Long enough for the stacks of a thousand connection threads; a dump that
// takes longer is given up so that the process still ends.
constexpr DWORD kDumpWaitMs = 60000;
// A log on a stalled network share must not keep the process from ending.
constexpr DWORD kLineWaitMs = 2000;
// The loader lock and the process heap's lock, which the dump needs, may be
// held by the crashed thread (a crash in DllMain, in the heap); then only it can
// take them and write the dump. The loader lock can be tried and its owner
// read; the heap answers any other thread within this, the loader lock's
// retries included.
constexpr DWORD kLocksWaitMs = 3000;
constexpr ULONG kLoaderLockTryOnly = 2;
constexpr ULONG kLoaderLockAcquired = 1;
constexpr DWORD kLoaderLockRetrySleepMs = 10;
// Where the process environment block keeps its pointer to the loader lock.
constexpr size_t kPebLoaderLockOffset = sizeof(void*) == 8 ? 0x110 : 0xA0;

// The loader lock as the process environment block names it.
const CRITICAL_SECTION* FindLoaderLock(HMODULE ntdll) {
  struct {
    LONG exit_status;
    const char* peb;
    ULONG_PTR affinity;
    LONG priority;
    ULONG_PTR pid;
    ULONG_PTR parent;
  } basic = {};
  const auto query = reinterpret_cast<QueryProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
  if (query == nullptr || query(GetCurrentProcess(), 0, &basic, sizeof(basic), nullptr) < 0 ||
      basic.peb == nullptr) {
    return nullptr;
  }
  return *reinterpret_cast<const CRITICAL_SECTION* const*>(basic.peb + kPebLoaderLockOffset);
}

// Who holds the loader lock now; the lock is the system's critical section,
// whose owner field holds the owning thread's identifier.
LoaderLockHolder LoaderLockOwner() {
  const CRITICAL_SECTION* lock = g_setup.loader_lock;
  if (lock == nullptr) return LoaderLockHolder::kUnknown;
  const auto owner = static_cast<DWORD>(
      reinterpret_cast<uintptr_t>(*static_cast<HANDLE const volatile*>(&lock->OwningThread)));
  if (owner == 0) return LoaderLockHolder::kNobody;  // let go since the try: try again
  return owner == g_threadId ? LoaderLockHolder::kCrashedThread : LoaderLockHolder::kOtherThread;
}

// Whether the dump thread may write the dump as far as the loader lock goes.
bool LoaderLockAllowsDumpThread() {
  if (g_setup.lock_loader == nullptr) return true;
  const DWORD started = GetTickCount();
  for (;;) {
    ULONG taken = 0;
    ULONG_PTR cookie = 0;
    const bool tried = g_setup.lock_loader(kLoaderLockTryOnly, &taken, &cookie) >= 0;
    if (tried && taken == kLoaderLockAcquired) {
      g_setup.unlock_loader(0, cookie);
      return true;
    }
    const LoaderLockHolder holder = tried ? LoaderLockOwner() : LoaderLockHolder::kUnknown;
    if (holder != LoaderLockHolder::kNobody) {
      switch (LoaderLockWriter(holder, GetTickCount() - started)) {
        case DumpWriter::kDumpThread:
          return true;
        case DumpWriter::kCrashedThread:
          return false;
        case DumpWriter::kAskAgain:
          break;
      }
    }
    Sleep(kLoaderLockRetrySleepMs);
  }
}

// The dump's path in g_path; false when it does not fit.
bool NameDump() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const DumpTime stamp{now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond, now.wMilliseconds};
  memcpy(g_path, g_setup.folder, g_setup.folder_length);
  if (!AppendCrashDumpName(g_path, sizeof(g_path), g_setup.folder_length, stamp,
                           GetCurrentProcessId())) {
    g_path[g_setup.folder_length] = '\0';
    return false;
  }
  return true;
}

// Returns 0 or the error that kept the dump from being written to g_path.
DWORD WriteDump() {
  zrvd::unique_hfile file(CreateFileA(g_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return GetLastError();
  MINIDUMP_EXCEPTION_INFORMATION info{g_threadId, &g_pointers, FALSE};
  if (!g_setup.write_dump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                          &info, nullptr, nullptr)) {
    return GetLastError();
  }
  return 0;
}

// Appended through a handle of its own: the engine's log object lives in the
// DLL, and its lock may be held by the thread that crashed.
void WriteLogLine(const char* message) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  const LogStamp stamp{now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond, now.wMilliseconds};
  const size_t length = FormatLogLine(g_line, sizeof(g_line), stamp, "P2PClient", "Crash", message);
  DWORD written = 0;
  if (g_setup.log_path[0] == '\0') {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    if (console != nullptr && console != INVALID_HANDLE_VALUE) {
      WriteFile(console, g_line, static_cast<DWORD>(length), &written, nullptr);
    }
    return;
  }
  zrvd::unique_hfile log(CreateFileA(g_setup.log_path, FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (log.valid()) WriteFile(log.get(), g_line, static_cast<DWORD>(length), &written, nullptr);
}

// The heap is usable here: its lock answered, or this thread holds it.
void RemoveOldDumps() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const std::string folder(g_setup.folder, g_setup.folder_length);
  HANDLE search = FindFirstFileA((folder + kCrashDumpPrefix + "*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  for (const std::string& name : DumpsToRemove(names, kCrashDumpsKept)) {
    DeleteFileA((folder + name).c_str());
  }
}

// A line before the dump, so that a dump that never ends still leaves word of
// the crash, and one with the result after it.
void DumpAndLog() {
  const bool named = NameDump();
  snprintf(g_message, sizeof(g_message),
           "Unhandled exception %08lX at %p in thread %lu; writing a minidump to %s",
           g_record.ExceptionCode, g_record.ExceptionAddress, g_threadId, g_path);
  WriteLogLine(g_message);
  const DWORD error = named ? WriteDump() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
  if (error == 0) {
    snprintf(g_message, sizeof(g_message),
             "Unhandled exception %08lX at %p in thread %lu; minidump written to %s",
             g_record.ExceptionCode, g_record.ExceptionAddress, g_threadId, g_path);
  } else {
    snprintf(g_message, sizeof(g_message),
             "Unhandled exception %08lX at %p in thread %lu; no minidump at %s (error %lu)",
             g_record.ExceptionCode, g_record.ExceptionAddress, g_threadId, g_path, error);
  }
  WriteLogLine(g_message);
  if (error == 0) RemoveOldDumps();
}

// Started at install and waiting: the crashed thread's stack may be exhausted,
// and a thread's stack is read best from another thread.
DWORD WINAPI DumpThread(void* running) {
  SetEvent(static_cast<HANDLE>(running));
  WaitForSingleObject(g_setup.start, INFINITE);
  const bool free = LoaderLockAllowsDumpThread();
  if (free) {
    // The lock itself: an allocation may be served without it. Held by the
    // crashed thread, this waits until the crashed thread ends the process.
    HANDLE heap = GetProcessHeap();
    if (HeapLock(heap)) HeapUnlock(heap);
  }
  InterlockedExchange(&g_locksFree, free ? 1 : 0);
  SetEvent(g_setup.probed);
  if (free && InterlockedCompareExchange(&g_writer, 1, 0) == 0) {
    DumpAndLog();
    SetEvent(g_setup.done);
  }
  return 0;
}

// Ends the process if the crash path has not ended it in time: a lock that
// the dump needs may be held for good by a thread that did not crash.
DWORD WINAPI GuardThread(void* running) {
  SetEvent(static_cast<HANDLE>(running));
  WaitForSingleObject(g_setup.start, INFINITE);
  Sleep(kLocksWaitMs + kDumpWaitMs + 2 * kLineWaitMs);
  TerminateProcess(GetCurrentProcess(), g_record.ExceptionCode);
  return 0;
}

// Starts a thread that waits for a crash for the rest of the process (no one
// joins it), and waits until it runs: a thread starting up holds the loader
// lock and may take the heap's, and a crash meanwhile would find both taken by
// the thread meant to dump it.
bool StartWaitingThread(LPTHREAD_START_ROUTINE routine, SIZE_T stack, DWORD* id = nullptr) {
  zrvd::unique_handle running(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  HANDLE thread = running ? CreateThread(nullptr, stack, routine, running.get(),
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, id)
                          : nullptr;
  if (thread == nullptr) return false;
  CloseHandle(thread);
  if (WaitForSingleObject(running.get(), kThreadStartWaitMs) != WAIT_OBJECT_0) {
    running.release();  // the thread may still set it
  }
  return true;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
  const DWORD self = GetCurrentThreadId();
  const auto first = static_cast<DWORD>(
      InterlockedCompareExchange(&g_faulted, static_cast<LONG>(self), 0));
  if (first != 0) {
    // A fault of the dump's own writer would only recur: the process ends at
    // once, no dialog, no hang. Any other thread leaves the first crash to end
    // it, dump written; the guard ends it if nothing else does.
    if (first == self || self == g_dumpThreadId) {
      TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    }
    for (;;) Sleep(INFINITE);
  }
  g_record = *exception->ExceptionRecord;
  g_record.ExceptionRecord = nullptr;  // a nested record lies on the crashed stack
  g_context = *exception->ContextRecord;
  g_threadId = GetCurrentThreadId();
  SetEvent(g_setup.start);
  const bool probed = WaitForSingleObject(g_setup.probed, kLocksWaitMs) == WAIT_OBJECT_0;
  if ((!probed || InterlockedCompareExchange(&g_locksFree, 0, 0) == 0) &&
      InterlockedCompareExchange(&g_writer, 2, 0) == 0) {
    // Most likely this thread holds the lock the dump thread met; both locks
    // are re-entrant.
    DumpAndLog();
  } else {
    WaitForSingleObject(g_setup.done, kDumpWaitMs + kLineWaitMs);
  }
  TerminateProcess(GetCurrentProcess(), g_record.ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashDumps() { InstallCrashDumpsFor(ReadLogPathSetting().c_str()); }

void InstallCrashDumpsFor(const char* log_setting) {
  char temp[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof(temp), temp) == 0) temp[0] = '\0';
  const DumpFolder folder = CrashDumpFolder(log_setting ? log_setting : "", temp);
  if (!folder.on || g_installed) return;
  HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
  auto write_dump = dbghelp == nullptr ? nullptr
                                       : reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(
                                             GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  const std::string log_path = strcmp(log_setting, "stdout") == 0 ? "" : log_setting;
  if (write_dump == nullptr || folder.path.size() >= sizeof(g_setup.folder) ||
      log_path.size() >= sizeof(g_setup.log_path)) {
    return;
  }
  memcpy(g_setup.folder, folder.path.c_str(), folder.path.size() + 1);
  g_setup.folder_length = folder.path.size();
  memcpy(g_setup.log_path, log_path.c_str(), log_path.size() + 1);
  g_setup.write_dump = write_dump;
  g_setup.start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_setup.probed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  g_setup.lock_loader = reinterpret_cast<LoaderLockFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  g_setup.unlock_loader = reinterpret_cast<LoaderUnlockFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  if (g_setup.unlock_loader == nullptr) g_setup.lock_loader = nullptr;
  g_setup.loader_lock = FindLoaderLock(ntdll);
  g_setup.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!g_setup.start || !g_setup.probed || !g_setup.done ||
      !StartWaitingThread(&DumpThread, kDumpThreadStack, &g_dumpThreadId) ||
      !StartWaitingThread(&GuardThread, kGuardThreadStack)) {
    return;
  }
  g_installed = true;
  SetUnhandledExceptionFilter(&CrashFilter);
}
