#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

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

// A crash on the main thread, on a worker, with the loader lock held and with
// the process heap locked each ends the process with the exception's code,
// within its time, leaving a sound dump named with the child's pid and one log
// line naming it; the fourth crash removes the oldest dump.
TEST(CrashDump, EveryCrashLeavesADumpAndTheFourthRemovesTheOldest) {
  struct Way {
    const char* name;
    DWORD within_ms;  // a locked heap is first waited for, 2 s
  };
  const Way ways[] = {{"main", 5000}, {"worker", 5000}, {"loader lock", 5000}, {"heap lock", 10000}};
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
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    const std::string log = ReadAll(log_path), said = "; minidump written to ";
    const size_t line = log.find("(P2PClient:Crash) Unhandled exception C0000005 at ", log_size);
    ASSERT_NE(line, std::string::npos) << log;
    log_size = log.size();
    const size_t path = log.find(said, line) + said.size();
    dumps.push_back(log.substr(path, log.find("\r\n", path) - path));
    EXPECT_EQ(dumps.back().rfind(dir + "zrvd-crash-", 0), 0u) << dumps.back();
    EXPECT_NE(dumps.back().find("-" + std::to_string(child.dwProcessId) + ".dmp"), std::string::npos);
    ExpectSoundDump(dumps.back());
  }
  SetEnvironmentVariableA("ZRVD_CRASH_LOG", nullptr);
  SetEnvironmentVariableA("ZRVD_CRASH_WAY", nullptr);
  SetEnvironmentVariableA("ZRVD_CRASH_READY", nullptr);
  CloseHandle(ready);
  EXPECT_EQ(GetFileAttributesA(dumps[0].c_str()), INVALID_FILE_ATTRIBUTES);

  for (const std::string& path : {dumps[1], dumps[2], dumps[3], log_path}) {
    EXPECT_TRUE(DeleteFileA(path.c_str())) << path;
  }
}

}  // namespace
