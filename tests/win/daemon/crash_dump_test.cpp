#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Folder(const char* path) {
  const char* end = strrchr(path, '\\') + 1;
  return std::string(path, end);
}

std::string BinFolder() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  return Folder(self);
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Dumps(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "zrvd-crash-*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.push_back(found.cFileName);
  while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

DWORD CrashChild(const std::string& log_path) {
  std::string command = "\"" + BinFolder() + "crash_child.exe\" \"" + log_path + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return GetLastError();
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

// The parts of a dump a debugger reads first, each checked to lie in the file.
struct DumpView {
  std::vector<char> bytes;
  template <typename T>
  const T* At(RVA rva, size_t count = 1) const {
    if (rva + sizeof(T) * count > bytes.size()) return nullptr;
    return reinterpret_cast<const T*>(bytes.data() + rva);
  }
  std::string ModuleName(RVA rva) const {
    const auto* length = At<ULONG32>(rva);
    if (length == nullptr || rva + 4 + *length > bytes.size()) return "";
    std::string name;
    const auto* text = reinterpret_cast<const char*>(bytes.data() + rva + 4);
    for (ULONG32 i = 0; i < *length; i += 2) name += text[i];  // ASCII names
    return name.substr(name.find_last_of('\\') + 1);
  }
};

// A crash leaves one dump whose header, stream directory, module list and
// exception stream a debugger can read, and one log line naming it; the fourth
// crash removes the oldest dump.
TEST(CrashDump, ChildCrashLeavesADumpAndTheFourthRemovesTheOldest) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder =
      std::string(temp) + "zrvd-crash-test-" + std::to_string(GetCurrentProcessId()) + "\\";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const std::string log_path = folder + "engine.log";

  EXPECT_EQ(CrashChild(log_path), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  const std::vector<std::string> first = Dumps(folder);
  ASSERT_EQ(first.size(), 1u);

  DumpView dump{ReadAll(folder + first[0])};
  const auto* header = dump.At<MINIDUMP_HEADER>(0);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(memcmp(&header->Signature, "MDMP", 4), 0);
  EXPECT_EQ(header->Version & 0xffff, static_cast<ULONG32>(MINIDUMP_VERSION));
  const auto* streams =
      dump.At<MINIDUMP_DIRECTORY>(header->StreamDirectoryRva, header->NumberOfStreams);
  ASSERT_NE(streams, nullptr);
  std::vector<std::string> modules;
  bool exception_seen = false;
  for (ULONG32 i = 0; i < header->NumberOfStreams; ++i) {
    const MINIDUMP_LOCATION_DESCRIPTOR& where = streams[i].Location;
    ASSERT_LE(where.Rva + where.DataSize, dump.bytes.size()) << "stream " << i;
    if (streams[i].StreamType == ModuleListStream) {
      const auto* count = dump.At<ULONG32>(where.Rva);
      ASSERT_NE(count, nullptr);
      const auto* list = dump.At<MINIDUMP_MODULE>(where.Rva + 4, *count);
      ASSERT_NE(list, nullptr);
      for (ULONG32 m = 0; m < *count; ++m) modules.push_back(dump.ModuleName(list[m].ModuleNameRva));
    } else if (streams[i].StreamType == ExceptionStream) {
      const auto* exception = dump.At<MINIDUMP_EXCEPTION_STREAM>(where.Rva);
      ASSERT_NE(exception, nullptr);
      EXPECT_EQ(exception->ExceptionRecord.ExceptionCode,
                static_cast<ULONG32>(EXCEPTION_ACCESS_VIOLATION));
      exception_seen = true;
    }
  }
  EXPECT_TRUE(exception_seen);
  for (const char* ours : {"crash_child.exe", "kovashare.dll"}) {
    EXPECT_NE(std::find(modules.begin(), modules.end(), ours), modules.end()) << ours;
  }

  const std::vector<char> log = ReadAll(log_path);
  const std::string text(log.begin(), log.end());
  EXPECT_NE(text.find("(P2PClient:Crash) Unhandled exception C0000005 at "), std::string::npos) << text;
  EXPECT_NE(text.find("; minidump written to " + folder + first[0] + "\r\n"), std::string::npos)
      << text;

  for (int i = 0; i < 3; ++i) CrashChild(log_path);
  const std::vector<std::string> last = Dumps(folder);
  EXPECT_EQ(last.size(), 3u);
  EXPECT_EQ(std::find(last.begin(), last.end(), first[0]), last.end());

  for (const std::string& name : last) DeleteFileA((folder + name).c_str());
  DeleteFileA(log_path.c_str());
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
