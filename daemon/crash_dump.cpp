#include "daemon/crash_dump.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
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

// Everything the filter needs is settled at install time: a crashed process
// may have a broken heap or a held loader lock.
struct CrashSetup {
  std::string folder;
  std::string log_setting;
  MiniDumpWriteDumpFn write_dump = nullptr;
};
CrashSetup* g_setup = nullptr;

// Long enough for the stacks of a thousand connection threads; a dump that
// takes longer is given up so that the process still ends.
constexpr DWORD kDumpWaitMs = 60000;
// A log on a stalled network share must not keep the process from ending.
constexpr DWORD kLineWaitMs = 2000;

struct CrashJob {
  EXCEPTION_POINTERS* exception;
  DWORD thread_id;
  HANDLE dumped;  // set once the dump file is closed
};

std::string WriteDump(const CrashJob& job, DWORD* error) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const DumpTime stamp{now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond, now.wMilliseconds};
  const std::string path = g_setup->folder + CrashDumpName(stamp, GetCurrentProcessId());
  zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    *error = GetLastError();
    return path;
  }
  MINIDUMP_EXCEPTION_INFORMATION info{job.thread_id, job.exception, FALSE};
  if (!g_setup->write_dump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                           &info, nullptr, nullptr)) {
    *error = GetLastError();
  }
  return path;
}

void RemoveOldDumps() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const std::string pattern = g_setup->folder + kCrashDumpPrefix + "*.dmp";
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  for (const std::string& name : DumpsToRemove(names, kCrashDumpsKept)) {
    DeleteFileA((g_setup->folder + name).c_str());
  }
}

// Appended through a handle of its own: the engine's log object lives in the
// DLL, and its lock may be held by the thread that crashed.
void WriteLogLine(const char* message) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  const LogStamp stamp{now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond, now.wMilliseconds};
  char line[kLogLineBufferSize];
  const size_t length = FormatLogLine(line, sizeof(line), stamp, "P2PClient", "Crash", message);
  DWORD written = 0;
  if (g_setup->log_setting == "stdout") {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    if (console != nullptr && console != INVALID_HANDLE_VALUE) {
      WriteFile(console, line, static_cast<DWORD>(length), &written, nullptr);
    }
    return;
  }
  zrvd::unique_hfile log(CreateFileA(g_setup->log_setting.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (log.valid()) WriteFile(log.get(), line, static_cast<DWORD>(length), &written, nullptr);
}

// Runs on a thread of its own: the crashed thread's stack may be exhausted, and
// a thread's stack is read best from another thread.
DWORD WINAPI CrashJobThread(void* param) {
  const CrashJob& job = *static_cast<CrashJob*>(param);
  DWORD error = 0;
  const std::string path = WriteDump(job, &error);
  SetEvent(job.dumped);
  if (error == 0) RemoveOldDumps();

  const EXCEPTION_RECORD& record = *job.exception->ExceptionRecord;
  char message[MAX_PATH + 160];
  if (error == 0) {
    snprintf(message, sizeof(message),
             "Unhandled exception %08lX at %p in thread %lu; minidump written to %s",
             record.ExceptionCode, record.ExceptionAddress, job.thread_id, path.c_str());
  } else {
    snprintf(message, sizeof(message),
             "Unhandled exception %08lX at %p in thread %lu; no minidump at %s (error %lu)",
             record.ExceptionCode, record.ExceptionAddress, job.thread_id, path.c_str(), error);
  }
  WriteLogLine(message);
  return 0;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
  // A second crash, on another thread or inside the dump, must not dump again.
  static LONG entered = 0;
  if (InterlockedExchange(&entered, 1) != 0) {
    Sleep(INFINITE);
  }
  // Static and never closed: after a time-out the job thread may still read
  // them while the process ends.
  static CrashJob job;
  job = CrashJob{exception, GetCurrentThreadId(), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE thread = job.dumped ? CreateThread(nullptr, 0, &CrashJobThread, &job, 0, nullptr) : nullptr;
  if (thread != nullptr && WaitForSingleObject(job.dumped, kDumpWaitMs) == WAIT_OBJECT_0) {
    WaitForSingleObject(thread, kLineWaitMs);
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashDumps() { InstallCrashDumpsFor(ReadLogPathSetting().c_str()); }

void InstallCrashDumpsFor(const char* log_setting) {
  char temp[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof(temp), temp) == 0) temp[0] = '\0';
  const DumpFolder folder = CrashDumpFolder(log_setting ? log_setting : "", temp);
  if (!folder.on || g_setup != nullptr) return;
  HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
  auto write_dump = dbghelp == nullptr ? nullptr
                                       : reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(
                                             GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  if (write_dump == nullptr) return;
  g_setup = new CrashSetup{folder.path, log_setting, write_dump};
  SetUnhandledExceptionFilter(&CrashFilter);
}
