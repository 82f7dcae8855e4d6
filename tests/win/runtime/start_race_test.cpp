// An auto-delete thread that finishes, and destroys itself, before the Start
// that made it has returned. A TLS callback holds the new thread before its
// routine runs, which lets the test freeze the starting thread inside Start.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "runtime/pxp_thread.h"
#include "tests/win/runtime/engine_test_support.h"

namespace enginetest {
namespace {

std::atomic<bool> g_holdNextThread{false};
HANDLE g_heldArrived = nullptr;
HANDLE g_heldGo = nullptr;
HANDLE g_heldThread = nullptr;

void NTAPI HoldNewThread(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_ATTACH || !g_holdNextThread.exchange(false)) return;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_heldThread,
                  SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
  SetEvent(g_heldArrived);
  WaitForSingleObject(g_heldGo, INFINITE);
}

struct Starter {
  IThread* thread = nullptr;
  zrvd::unique_handle running{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  zrvd::unique_handle go{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> returned{false};
  int32_t result = -2;
};

DWORD WINAPI StartOnThisThread(void* parameter) {
  auto* starter = static_cast<Starter*>(parameter);
  SetEvent(starter->running.get());
  WaitForSingleObject(starter->go.get(), INFINITE);
  starter->result = starter->thread->Start();
  starter->returned = true;
  return 0;
}

using StartRaceTest = RuntimeTest;

// Start only touches its own reference to the ready event once the thread
// exists, so the thread may end and free the object first.
TEST_F(StartRaceTest, AutoDeleteThreadEndsBeforeStartReturns) {
  zrvd::unique_handle arrived(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  zrvd::unique_handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  g_heldArrived = arrived.get();
  g_heldGo = go.get();

  Probe probe;
  Starter starter;
  starter.thread = m_runtime->NewThread(new ProbeHandler(&probe, ProbeHandler::Mode::kReturn, 3),
                                        "racer", true, 0);
  ASSERT_NE(starter.thread, nullptr);
  zrvd::unique_handle starting(CreateThread(nullptr, 0, &StartOnThisThread, &starter, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(starter.running.get(), 30000), WAIT_OBJECT_0);

  g_holdNextThread = true;
  SetEvent(starter.go.get());
  ASSERT_EQ(WaitForSingleObject(arrived.get(), 30000), WAIT_OBJECT_0);
  zrvd::unique_handle held(g_heldThread);
  // The new thread cannot have signalled its ready event yet: Start is still
  // running, and stays frozen while the new thread runs to its end.
  ASSERT_NE(SuspendThread(starting.get()), static_cast<DWORD>(-1));
  SetEvent(go.get());
  ASSERT_TRUE(WaitEnded(held.get()));
  EXPECT_EQ(probe.released, 1);
  EXPECT_EQ(m_runtime->RegisteredThreadCount(), 0u);
  EXPECT_FALSE(starter.returned);

  ResumeThread(starting.get());
  ASSERT_TRUE(WaitEnded(starting.get()));
  EXPECT_TRUE(starter.returned);
  EXPECT_EQ(starter.result, 0);
  DWORD exit_code = 0;
  GetExitCodeThread(held.get(), &exit_code);
  EXPECT_EQ(exit_code, 3u);
}

}  // namespace
}  // namespace enginetest

// Registers the callback with the loader; the linker orders .CRT$XL* sections
// between the runtime's own start and end markers.
extern "C" __attribute__((section(".CRT$XLM"), used))
const PIMAGE_TLS_CALLBACK g_holdNewThreadCallback = &enginetest::HoldNewThread;
