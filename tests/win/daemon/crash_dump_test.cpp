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

// Started with ZRVD_CRASH_LOG set, this program is the child: it crashes as
// the daemon would, with kovashare.dll loaded.
const bool g_child = [] {
  if (const char* log = getenv("ZRVD_CRASH_LOG")) {
    InstallCrashDumpsFor(log);
    KovaShareFinish();
    *static_cast<volatile int*>(nullptr) = 1;
  }
  return false;
}();

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each crash leaves a dump named with the child's pid and one log line naming
// it; the dump's header, stream directory and module list lie within the file;
// the fourth crash removes the oldest dump.
TEST(CrashDump, ChildCrashLeavesADumpAndTheFourthRemovesTheOldest) {
  // A folder of its own: the fourth crash removes the oldest dump it finds there.
  zrvd_test::TempFolder folder("crash");
  const std::string dir = folder.path() + "\\";
  const std::string log_path = folder.File("zrvd-crash.log");
  SetEnvironmentVariableA("ZRVD_CRASH_LOG", log_path.c_str());
  std::vector<std::string> dumps;
  for (int i = 0; i < 4; ++i) {
    std::string command = GetCommandLineA();
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    DWORD code = 0;
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child));
    WaitForSingleObject(child.hProcess, 60000);
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    const std::string log = ReadAll(log_path), said = "; minidump written to ";
    const size_t line = log.rfind("(P2PClient:Crash) Unhandled exception C0000005 at ");
    ASSERT_NE(line, std::string::npos) << log;
    const size_t path = log.find(said, line) + said.size();
    dumps.push_back(log.substr(path, log.find("\r\n", path) - path));
    EXPECT_EQ(dumps.back().rfind(dir + "zrvd-crash-", 0), 0u) << dumps.back();
    EXPECT_NE(dumps.back().find("-" + std::to_string(child.dwProcessId) + ".dmp"), std::string::npos);
  }
  SetEnvironmentVariableA("ZRVD_CRASH_LOG", nullptr);
  EXPECT_EQ(GetFileAttributesA(dumps[0].c_str()), INVALID_FILE_ATTRIBUTES);

  const std::string dump = ReadAll(dumps[3]);
  auto in_file = [&](RVA rva, size_t size) { return rva + size <= dump.size(); };
  const auto& header = *reinterpret_cast<const MINIDUMP_HEADER*>(dump.data());
  ASSERT_TRUE(in_file(0, sizeof(header)) && dump.compare(0, 4, "MDMP") == 0);
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
  for (const std::string& path : {dumps[1], dumps[2], dumps[3], log_path}) {
    EXPECT_TRUE(DeleteFileA(path.c_str())) << path;
  }
}

}  // namespace
