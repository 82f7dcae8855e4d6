// Many short framework threads logging to one file at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "tests/win/runtime/engine_test_support.h"

namespace enginetest {
namespace {

constexpr int kThreads = 5000;
constexpr int kAtOnce = 64;
constexpr int kLinesEach = 20;

// The system-wide handle list, as NtQuerySystemInformation class 16 gives it.
struct SystemHandleEntry {
  ULONG process_id;
  UCHAR object_type;
  UCHAR flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
struct SystemHandleList {
  ULONG count;
  SystemHandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

DWORD CountHandlesInSystemList() {
  auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  while ((status = query(kSystemHandleInformation, buffer.data(),
                         static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return 0;
  const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
  DWORD count = 0;
  for (ULONG i = 0; i < list->count; ++i) {
    if (list->entries[i].process_id == GetCurrentProcessId()) ++count;
  }
  return count;
}

// Wine 8 answers GetProcessHandleCount with a count of 0 (a Wine gap): the
// system's handle list gives the same number there.
DWORD HandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  return CountHandlesInSystemList();
}

// Logs its lines and gives its slot back when the framework releases it.
class WorkerHandler : public IThreadHandler {
 public:
  WorkerHandler(int index, HANDLE slots) : m_index(index), m_slots(slots) {}
  ~WorkerHandler() override { ReleaseSemaphore(m_slots, 1, nullptr); }
  void Release() override { delete this; }
  int32_t Run() override {
    for (int line = 0; line < kLinesEach; ++line) LogInfo("worker %d line %d", m_index, line);
    return 0;
  }
  int32_t OnMessage(UINT, WPARAM, LPARAM) override { return 0; }

 private:
  int m_index;
  HANDLE m_slots;
};

std::string WorkerName(int index) {
  char name[32];
  snprintf(name, sizeof(name), "Stress %d", index);
  return name;
}

template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int tries = 0; tries < 3000; ++tries) {
    if (done()) return true;
    Sleep(10);
  }
  return done();
}

using StressTest = RuntimeTest;

// The process's handle count moves with the handles we hold, so the check
// below can see a leak.
TEST_F(StressTest, HandleCountSeesOneHandle) {
  const DWORD before = HandleCount();
  ASSERT_NE(before, 0u);
  zrvd::unique_handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(HandleCount(), before + 1);
  event.reset();
  EXPECT_EQ(HandleCount(), before);
}

// 5,000 threads, 64 at a time, 20 lines each while the main thread logs too:
// every line whole and under its own thread, registry empty and handle count
// back where it started at the end.
TEST_F(StressTest, ManyThreadsShareOneLog) {
  zrvd::unique_handle slots(CreateSemaphoreA(nullptr, kAtOnce, kAtOnce, nullptr));
  // Warm-up, so that whatever the system makes on the first threads of a
  // process is in place before the count is taken.
  for (int index = 0; index < kAtOnce; ++index) {
    WaitForSingleObject(slots.get(), INFINITE);
    m_runtime->NewThread(new WorkerHandler(-1 - index, slots.get()), WorkerName(-1 - index).c_str(),
                         true, 0)->Start();
  }
  for (int index = 0; index < kAtOnce; ++index) WaitForSingleObject(slots.get(), INFINITE);
  ReleaseSemaphore(slots.get(), kAtOnce, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return m_runtime->RegisteredThreadCount() == 0; }));
  Sleep(200);
  const DWORD handles_before = HandleCount();

  for (int index = 0; index < kThreads; ++index) {
    WaitForSingleObject(slots.get(), INFINITE);
    IThread* thread = m_runtime->NewThread(new WorkerHandler(index, slots.get()),
                                           WorkerName(index).c_str(), true, 0);
    ASSERT_NE(thread, nullptr) << index;
    thread->Start();
    LogInfo("main %d", index);
  }
  for (int index = 0; index < kAtOnce; ++index) WaitForSingleObject(slots.get(), INFINITE);
  EXPECT_TRUE(WaitUntil([&] { return m_runtime->RegisteredThreadCount() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return HandleCount() == handles_before; }))
      << "before " << handles_before << ", after " << HandleCount();

  std::vector<LogLine> lines = Lines();
  const std::string main_name = OwnFallbackName();
  std::vector<std::vector<std::string>> by_worker(kThreads);
  std::vector<std::string> main_lines;
  for (const LogLine& line : lines) {
    if (line.thread == main_name) {
      main_lines.push_back(line.message);
      continue;
    }
    int index = -1;
    char tail = 0;
    if (sscanf(line.thread.c_str(), "Stress %d%c", &index, &tail) != 1) {
      ADD_FAILURE() << "unexpected thread name " << line.thread;
      continue;
    }
    if (index >= 0) by_worker[index].push_back(line.message);
  }
  ASSERT_EQ(main_lines.size(), static_cast<size_t>(kThreads));
  for (int index = 0; index < kThreads; ++index) {
    EXPECT_EQ(main_lines[index], "main " + std::to_string(index));
    std::vector<std::string> expected = {kStartLine};
    for (int line = 0; line < kLinesEach; ++line) {
      expected.push_back("worker " + std::to_string(index) + " line " + std::to_string(line));
    }
    expected.push_back(kEndLine);
    expected.push_back(kAutoDeleteLine);
    ASSERT_EQ(by_worker[index], expected) << "worker " << index;
  }
}

}  // namespace
}  // namespace enginetest
