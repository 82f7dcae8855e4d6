#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "runtime/log_format.h"
#include "runtime/pxp_thread.h"
#include "tests/win/runtime/engine_test_support.h"

namespace enginetest {
namespace {

using Mode = ProbeHandler::Mode;

size_t CountFiles(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  size_t count = 0;
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

// "null" turns logging off: no file of that name appears, calls return normally.
TEST(LogOutput, NullWritesNothing) {
  TempFolder folder;
  char previous[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryA(folder.path().c_str()));
  auto* runtime = new CPxpRuntime("null");
  g_log = runtime;
  runtime->Write("P2PClient", kLogNormal, "dropped");
  LogInfo("dropped too %d", 1);
  g_log = nullptr;
  runtime->Release();
  SetCurrentDirectoryA(previous);
  EXPECT_EQ(CountFiles(folder.path()), 0u);
}

// A path that cannot be opened turns logging off without a fault.
TEST(LogOutput, UnopenablePathWritesNothing) {
  TempFolder folder;
  std::string path = folder.File("missing-folder\\engine.log");
  auto* runtime = new CPxpRuntime(path.c_str());
  runtime->Write("P2PClient", kLogNormal, "dropped");
  runtime->Release();
  EXPECT_EQ(CountFiles(folder.path()), 0u);
}

// An existing log becomes ".bak", replacing an older one; the new log starts empty.
TEST(LogOutput, ExistingLogRotatesToBak) {
  TempFolder folder;
  std::string log = folder.File("engine.log");
  WriteFileBytes(log, "previous run\r\n");
  WriteFileBytes(log + ".bak", "the run before that, and longer\r\n");

  auto* runtime = new CPxpRuntime(log.c_str());
  EXPECT_TRUE(FileExists(log));
  EXPECT_EQ(ReadFileBytes(log), "");
  EXPECT_EQ(ReadFileBytes(log + ".bak"), "previous run\r\n");
  runtime->Write("P2PClient", kLogNormal, "this run");
  runtime->Release();

  runtime = new CPxpRuntime(log.c_str());
  runtime->Release();
  EXPECT_EQ(ReadFileBytes(log), "");
  std::vector<LogLine> old_lines = ParseLog(ReadFileBytes(log + ".bak"));
  ASSERT_EQ(old_lines.size(), 1u);
  EXPECT_EQ(old_lines[0].message, "this run");
  EXPECT_EQ(CountFiles(folder.path()), 2u);
}

// When the old log cannot be renamed (held open without delete sharing), the
// new lines follow it instead of overwriting its start.
TEST(LogOutput, UnrenamableLogIsAppendedTo) {
  TempFolder folder;
  std::string log = folder.File("engine.log");
  const std::string old_text = std::string(300, 'o') + "\r\n";
  WriteFileBytes(log, old_text);
  zrvd::unique_hfile holder(CreateFileA(log.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.valid());

  auto* runtime = new CPxpRuntime(log.c_str());
  runtime->Write("P2PClient", kLogNormal, "after the old lines");
  runtime->Release();
  holder.reset();

  EXPECT_FALSE(FileExists(log + ".bak"));
  const std::string bytes = ReadFileBytes(log);
  ASSERT_EQ(bytes.compare(0, old_text.size(), old_text), 0);
  std::vector<LogLine> lines = ParseLog(bytes.substr(old_text.size()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "after the old lines");
}

// A line that another writer appends through its own handle (the crash
// handler) stays whole: the engine's next line goes after it, not over it.
TEST(LogOutput, AnotherWritersLineIsNotOverwritten) {
  TempFolder folder;
  std::string log = folder.File("engine.log");
  auto* runtime = new CPxpRuntime(log.c_str());
  runtime->Write("P2PClient", kLogNormal, "before");
  zrvd::unique_hfile other(CreateFileA(log.c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
  const char line[] = "[2026-12-07 09:00:00.000](P2PClient:Crash) crashed\r\n";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(other.get(), line, sizeof(line) - 1, &written, nullptr));
  runtime->Write("P2PClient", kLogNormal, "after");
  runtime->Release();
  std::vector<LogLine> lines = ParseLog(ReadFileBytes(log));
  ASSERT_EQ(lines.size(), 3u) << ReadFileBytes(log);
  EXPECT_EQ(lines[0].message, "before");
  EXPECT_EQ(lines[1].message, "crashed");
  EXPECT_EQ(lines[2].message, "after");
}

bool StartsWith(const std::string& text, const char* start) {
  return text.compare(0, strlen(start), start) == 0;
}

// Four threads' lines carry the log past its limit once: the full log becomes
// ".bak", the new one opens with a line saying why, neither passes the limit,
// and every line is in one of them, whole and in its thread's order.
TEST(LogBoundary, ConcurrentLinesSurviveTheSwitch) {
  TempFolder folder;
  const std::string log = folder.File("engine.log");
  constexpr int kThreads = 4, kLinesEach = 200;  // about 1.4 times the limit
  auto* runtime = new CPxpRuntime(log.c_str(), 64 << 10);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([runtime, t] {
      for (int i = 0; i < kLinesEach; ++i) {
        std::string message = std::to_string(t) + " " + std::to_string(i) + std::string(50, '.');
        runtime->Write("P2PClient", kLogNormal, message.c_str());
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  runtime->Release();
  const std::string old_bytes = ReadFileBytes(log + ".bak"), new_bytes = ReadFileBytes(log);
  EXPECT_LE(old_bytes.size(), 64u << 10);
  EXPECT_LE(new_bytes.size(), 64u << 10);
  std::vector<LogLine> lines = ParseLog(old_bytes), new_lines = ParseLog(new_bytes);
  ASSERT_FALSE(new_lines.empty());
  EXPECT_EQ(new_lines[0].message, "Log started anew: the previous one reached the limit of "
                                  "65536 bytes (P4PShareLogMaxMB) and is now " + log + ".bak");
  lines.insert(lines.end(), new_lines.begin() + 1, new_lines.end());
  std::vector<int> next(kThreads, 0);
  for (const LogLine& line : lines) {
    int t = std::stoi(line.message), i = std::stoi(line.message.substr(2));
    EXPECT_EQ(i, next.at(t)++) << "writer " << t;
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLinesEach));
}

// A full log held open by another program cannot be renamed: its lines go on in
// it after one line saying so, and the switch comes at a later try.
TEST(LogBoundary, UnmovableLogGoesOnAndIsTriedAgain) {
  TempFolder folder;
  const std::string log = folder.File("engine.log");
  auto* runtime = new CPxpRuntime(log.c_str(), 8192);  // tries again every 1024 bytes
  zrvd::unique_hfile holder(CreateFileA(log.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  int written = 0;
  auto write_next = [&] {
    runtime->Write("P2PClient", kLogNormal, std::to_string(written++).c_str());
  };
  while (ReadFileBytes(log).size() < 8192 + 512) write_next();
  holder.reset();
  while (!FileExists(log + ".bak") && written < 1000) write_next();
  runtime->Release();

  std::vector<LogLine> lines = ParseLog(ReadFileBytes(log + ".bak"));
  std::vector<LogLine> new_lines = ParseLog(ReadFileBytes(log));
  ASSERT_EQ(new_lines.size(), 2u);
  EXPECT_TRUE(StartsWith(new_lines[0].message, "Log started anew: ")) << new_lines[0].message;
  EXPECT_EQ(new_lines[1].message, std::to_string(written - 1));
  ASSERT_EQ(lines.size(), static_cast<size_t>(written));
  for (size_t i = 0, number = 0; i < lines.size(); ++i) {
    if (StartsWith(lines[i].message, "Log reached the limit of 8192 bytes but")) continue;
    EXPECT_EQ(lines[i].message, std::to_string(number++));
  }
}

// "stdout" writes to the standard output handle and leaves it open: the
// runtime does not own it; a console is never switched, whatever the limit.
TEST(LogOutput, StdoutWritesToStandardOutput) {
  TempFolder folder;
  std::string path = folder.File("console.txt");
  zrvd::unique_hfile sink(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(sink.valid());
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  // This test program has a console already, so AllocConsole fails and the
  // runtime takes the handle we put in place.
  SetStdHandle(STD_OUTPUT_HANDLE, sink.get());
  auto* runtime = new CPxpRuntime("stdout", 64);
  HANDLE used = GetStdHandle(STD_OUTPUT_HANDLE);
  runtime->Write("P2PClient", kLogNormal, "to the console");
  runtime->Write("P2PClient", kLogNormal, "past the limit");
  runtime->Release();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);

  ASSERT_EQ(used, sink.get());
  std::vector<LogLine> lines = ParseLog(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "to the console");
  EXPECT_EQ(lines[1].message, "past the limit");
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(used, "x", 1, &written, nullptr)) << "handle closed by the runtime";
}

using LogLines = RuntimeTest;

// A thread the framework did not make is "Thread <decimal id>"; the level
// changes nothing in the line.
TEST_F(LogLines, UnregisteredThreadAndLevels) {
  m_runtime->Write("P2PClient", kLogNormal, "level one");
  LogMessage(kLogNetFailure, "level %d", 4);
  LogInfo("%s and %u", "text", 42u);
  std::vector<LogLine> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const LogLine& line : lines) EXPECT_EQ(line.thread, OwnFallbackName());
  EXPECT_EQ(lines[0].message, "level one");
  EXPECT_EQ(lines[1].message, "level 4");
  EXPECT_EQ(lines[2].message, "text and 42");
}

// Lines carry the framework thread's name; FindThread finds it by OS id only.
TEST_F(LogLines, FrameworkThreadNamesItsLines) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kWaitGate);
  IThread* thread = m_runtime->NewThread(handler, "p4pipc", false, 0);
  EXPECT_EQ(m_runtime->FindThread(GetCurrentThreadId()), nullptr);
  thread->Start();
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);
  EXPECT_EQ(m_runtime->FindThread(probe.thread_id), thread);
  EXPECT_EQ(m_runtime->FindThread(GetCurrentThreadId()), nullptr);
  SetEvent(probe.gate.get());
  thread->Release();
  delete handler;

  const std::string bytes = ReadFileBytes(m_logPath);
  EXPECT_NE(bytes.find("](P2PClient:p4pipc) " + kStartLine + "\r\n"), std::string::npos);
  EXPECT_EQ(MessagesOf(Lines(), "p4pipc").size(), 2u);
}

// The main thread is no framework thread: renaming it changes nothing.
TEST_F(LogLines, SetThreadNameOnUnregisteredThreadHasNoEffect) {
  m_runtime->SetThreadName("KovaShare");
  LogInfo("still mine");
  EXPECT_EQ(m_runtime->RegisteredThreadCount(), 0u);
  std::vector<LogLine> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].thread, OwnFallbackName());
}

// A thread that renames itself logs under the new name, its registry entry
// moves with the name, and it still unregisters when it ends.
TEST_F(LogLines, RenamedThreadStaysRemovable) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kRename);
  handler->new_name = "renamed";
  IThread* thread = m_runtime->NewThread(handler, "original", true, 0);
  thread->Start();
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);
  EXPECT_TRUE(IsRegistered("renamed"));
  EXPECT_FALSE(IsRegistered("original"));
  EXPECT_EQ(m_runtime->FindThread(probe.thread_id)->name(), "renamed");
  SetEvent(probe.gate.get());
  ASSERT_TRUE(WaitEnded(probe.thread.get()));
  EXPECT_EQ(m_runtime->RegisteredThreadCount(), 0u);

  std::vector<LogLine> lines = Lines();
  std::vector<std::string> before = {kStartLine, "before rename"};
  std::vector<std::string> after = {"after rename", kEndLine, kAutoDeleteLine};
  EXPECT_EQ(MessagesOf(lines, "original"), before);
  EXPECT_EQ(MessagesOf(lines, "renamed"), after);
}

// Renaming onto a name another thread holds is refused: names stay unique.
TEST_F(LogLines, RenameOntoTakenNameIsRefused) {
  Probe holder_probe;
  auto* holder = new ProbeHandler(&holder_probe, Mode::kReturn);
  IThread* holder_thread = m_runtime->NewThread(holder, "taken", false, 0);

  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kRename);
  handler->new_name = "taken";
  IThread* thread = m_runtime->NewThread(handler, "mover", true, 0);
  thread->Start();
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);
  EXPECT_EQ(m_runtime->FindThread(probe.thread_id)->name(), "mover");
  SetEvent(probe.gate.get());
  ASSERT_TRUE(WaitEnded(probe.thread.get()));
  EXPECT_EQ(m_runtime->RegisteredThreadCount(), 1u);
  holder_thread->Release();
  delete holder;
  EXPECT_EQ(MessagesOf(Lines(), "mover").size(), 5u);
}

// Over-long messages are cut to a 4095-byte line that still ends in CR LF, and
// the next line starts clean.
TEST_F(LogLines, LongMessageIsCutToOneTerminatedLine) {
  LogInfo("%s", std::string(6000, 'q').c_str());
  LogInfo("next");
  const std::string bytes = ReadFileBytes(m_logPath);
  size_t first_end = bytes.find("\r\n");
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_EQ(first_end + 2, kLogLineBufferSize - 1);
  std::vector<LogLine> lines = ParseLog(bytes);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, std::string(lines[0].message.size(), 'q'));
  EXPECT_EQ(lines[1].message, "next");
}

}  // namespace
}  // namespace enginetest
