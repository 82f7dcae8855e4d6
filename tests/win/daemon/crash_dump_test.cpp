#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "daemon/crash_dump.h"
#include "engine/kovashare.h"
#include "tests/win/support/temp_folder.h"

namespace {

void Crash() { *static_cast<volatile int*>(nullptr) = 1; }
DWORD WINAPI CrashingWorker(void*) {
  Crash();
  return 0;
}

// Frames of 4 KiB until the stack runs out; the flag keeps the compiler from
// seeing an endless recursion.
volatile bool g_deep = true;
int Overflow(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return g_deep ? Overflow(depth + 1) + frame[0] : 0;
}

// Holds the loader lock a moment, as a thread that starts or ends does.
HANDLE g_loaderHeld;
DWORD WINAPI LoaderLockHolder(void*) {
  using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto lock = reinterpret_cast<LockFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  const auto unlock = reinterpret_cast<UnlockFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  ULONG_PTR cookie = 0;
  lock(0, nullptr, &cookie);
  SetEvent(g_loaderHeld);
  Sleep(300);
  unlock(0, cookie);
  return 0;
}

// Faults a moment after the main thread has.
HANDLE g_firstFaults;
DWORD WINAPI SecondFault(void*) {
  WaitForSingleObject(g_firstFaults, INFINITE);
  Sleep(20);
  Crash();
  return 0;
}

// Started with ZRVD_CRASH_LOG set, this program is the child: it crashes as
// the daemon would, with kovashare.dll loaded, in the way ZRVD_CRASH_WAY names.
const bool g_child = [] {
  if (const char* log = getenv("ZRVD_CRASH_LOG")) {
    InstallCrashDumpsFor(log);
    KovaShareFinish();
    // The parent's clock starts here: a Wine process start on a loaded machine
    // takes seconds of its own, which are no part of the crash path.
    SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, getenv("ZRVD_CRASH_READY")));
    const std::string way = getenv("ZRVD_CRASH_WAY");
    if (way == "worker") {
      HANDLE worker = CreateThread(nullptr, 0, &CrashingWorker, nullptr, 0, nullptr);
      WaitForSingleObject(worker, INFINITE);
    } else if (way == "loader lock") {
      LoadLibraryA("crash_in_dllmain.dll");
    } else if (way == "heap lock") {
      HeapLock(GetProcessHeap());
    } else if (way == "stack overflow") {
      g_loaderHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      CloseHandle(CreateThread(nullptr, 0, &LoaderLockHolder, nullptr, 0, nullptr));
      WaitForSingleObject(g_loaderHeld, INFINITE);
      Overflow(0);
    } else if (way == "two threads") {
      g_firstFaults = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      CloseHandle(CreateThread(nullptr, 0, &SecondFault, nullptr, 0, nullptr));
      SetEvent(g_firstFaults);
    }
    Crash();
  }
  return false;
}();

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The dump's header, stream directory and module list lie within the file.
void ExpectSoundDump(const std::string& path) {
  const std::string dump = ReadAll(path);
  auto in_file = [&](RVA rva, size_t size) { return rva + size <= dump.size(); };
  const auto& header = *reinterpret_cast<const MINIDUMP_HEADER*>(dump.data());
  ASSERT_TRUE(in_file(0, sizeof(header)) && dump.compare(0, 4, "MDMP") == 0) << path;
  EXPECT_EQ(header.Version & 0xffff, static_cast<ULONG32>(MINIDUMP_VERSION));
  ASSERT_TRUE(in_file(header.StreamDirectoryRva, header.NumberOfStreams * sizeof(MINIDUMP_DIRECTORY)));
  const auto* streams = reinterpret_cast<const MINIDUMP_DIRECTORY*>(&dump[header.StreamDirectoryRva]);
  std::string modules;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    const MINIDUMP_LOCATION_DESCRIPTOR& where = streams[i].Location;
    ASSERT_TRUE(in_file(where.Rva, where.DataSize)) << "stream " << i;
    if (streams[i].StreamType != ModuleListStream) continue;
    const auto& list = *reinterpret_cast<const MINIDUMP_MODULE_LIST*>(&dump[where.Rva]);
    ASSERT_LE(4 + list.NumberOfModules * sizeof(MINIDUMP_MODULE), where.DataSize);
    for (ULONG32 m = 0; m < list.NumberOfModules; ++m) {
      const RVA at = list.Modules[m].ModuleNameRva;
      ASSERT_TRUE(in_file(at, 4));
      const auto& name = *reinterpret_cast<const MINIDUMP_STRING*>(&dump[at]);
      ASSERT_TRUE(in_file(at + 4, name.Length));
      modules += std::string(name.Buffer, name.Buffer + name.Length / 2) + "\n";
    }
  }
  EXPECT_NE(modules.find("\\win_daemon_crash.exe\n"), std::string::npos) << modules;
  EXPECT_NE(modules.find("\\kovashare.dll\n"), std::string::npos) << modules;
}

// A crash on the main thread, on a worker, with the loader lock held, with the
// process heap locked, a stack overflow while another thread holds the loader
// lock a moment, and two threads faulting together each ends the process with
// the first exception's code, within its time, leaving a sound dump named with
// the child's pid, a log line before it and one naming it after; the fourth
// crash on removes the oldest dumps, so that three stay.
TEST(CrashDump, EveryCrashLeavesADumpAndTheFourthRemovesTheOldest) {
  struct Way {
    const char* name;
    // Well under the guard's 67 s, which ends a crash path that hangs; loose
    // otherwise, as a loaded machine stretches a dump by seconds. A locked heap
    // is first waited for, 3 s; an overflowed stack puts its 2 MiB into the dump.
    DWORD within_ms;
    DWORD code;
  };
  const DWORD fault = EXCEPTION_ACCESS_VIOLATION;
  const Way ways[] = {{"main", 15000, fault},           {"worker", 15000, fault},
                      {"loader lock", 15000, fault},    {"heap lock", 20000, fault},
                      {"stack overflow", 20000, EXCEPTION_STACK_OVERFLOW},
                      {"two threads", 15000, fault}};
  // A Wine gap, not ours: Wine 8's 64-bit MiniDumpWriteDump takes about 6 s for
  // this small process (its 32-bit one, the product's, well under 1 s).
  const DWORD wine64_dump_ms = sizeof(void*) == 8 ? 10000 : 0;
  // A folder of its own: the fourth crash removes the oldest dump it finds there.
  zrvd_test::TempFolder folder("crash");
  const std::string dir = folder.path() + "\\";
  const std::string log_path = folder.File("zrvd-crash.log");
  SetEnvironmentVariableA("ZRVD_CRASH_LOG", log_path.c_str());
  const std::string ready_name = "zrvd-crash-ready-" + std::to_string(GetCurrentProcessId());
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
  ASSERT_NE(ready, nullptr);
  SetEnvironmentVariableA("ZRVD_CRASH_READY", ready_name.c_str());
  std::vector<std::string> dumps;
  size_t log_size = 0;
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    SetEnvironmentVariableA("ZRVD_CRASH_WAY", way.name);
    std::string command = GetCommandLineA();
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    DWORD code = 0;
    ResetEvent(ready);
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child));
    const HANDLE either[] = {ready, child.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 60000), WAIT_OBJECT_0);
    const DWORD started = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 70000), WAIT_OBJECT_0);
    EXPECT_LT(GetTickCount() - started, way.within_ms + wine64_dump_ms);
    TerminateProcess(child.hProcess, 1);
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_EQ(code, way.code);
    char start[64];
    snprintf(start, sizeof(start), "(P2PClient:Crash) Unhandled exception %08lX at ", way.code);
    const std::string log = ReadAll(log_path), said = "; minidump written to ";
    const size_t writing = log.find("; writing a minidump to ", log_size);
    const size_t written = log.find(said, log_size);
    ASSERT_NE(written, std::string::npos) << log;
    EXPECT_LT(writing, written) << log;
    const size_t line = log.rfind(start, written);
    ASSERT_TRUE(line != std::string::npos && line >= log_size) << log;
    log_size = log.size();
    const size_t path = written + said.size();
    dumps.push_back(log.substr(path, log.find("\r\n", path) - path));
    EXPECT_EQ(dumps.back().rfind(dir + "zrvd-crash-", 0), 0u) << dumps.back();
    EXPECT_NE(dumps.back().find("-" + std::to_string(child.dwProcessId) + ".dmp"), std::string::npos);
    ExpectSoundDump(dumps.back());
  }
  SetEnvironmentVariableA("ZRVD_CRASH_LOG", nullptr);
  SetEnvironmentVariableA("ZRVD_CRASH_WAY", nullptr);
  SetEnvironmentVariableA("ZRVD_CRASH_READY", nullptr);
  CloseHandle(ready);
  const size_t kept = 3;
  for (size_t i = 0; i < dumps.size(); ++i) {
    EXPECT_EQ(GetFileAttributesA(dumps[i].c_str()) != INVALID_FILE_ATTRIBUTES,
              i + kept >= dumps.size())
        << dumps[i];
    DeleteFileA(dumps[i].c_str());
  }
  EXPECT_TRUE(DeleteFileA(log_path.c_str()));
}

}  // namespace
