#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/pxp_thread.h"
#include "tests/win/runtime/engine_test_support.h"

namespace enginetest {
namespace {

using Mode = ProbeHandler::Mode;
using ThreadTest = RuntimeTest;

// One name, one thread: the name is refused while its thread lives and is free
// again once that auto-delete thread has ended.
TEST_F(ThreadTest, NameIsRefusedUntilAutoDeletedThreadEnds) {
  Probe probe;
  IThread* thread = m_runtime->NewThread(new ProbeHandler(&probe, Mode::kWaitGate), "dup", true, 0);
  ASSERT_NE(thread, nullptr);

  Probe second_probe;
  auto* second = new ProbeHandler(&second_probe, Mode::kReturn);
  EXPECT_EQ(m_runtime->NewThread(second, "dup", true, 0), nullptr);
  EXPECT_EQ(second_probe.released, 0) << "a refused handler stays with its caller";
  delete second;

  EXPECT_EQ(thread->Start(), 0);
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);
  EXPECT_TRUE(IsRegistered("dup"));
  SetEvent(probe.gate.get());
  ASSERT_TRUE(WaitEnded(probe.thread.get()));
  EXPECT_EQ(probe.released, 1);
  EXPECT_FALSE(IsRegistered("dup"));
  EXPECT_EQ(m_runtime->RegisteredThreadCount(), 0u);
}

// A Run that returns at once: start, end and auto-delete lines in that order,
// under the thread's name and in GBK; the exit code is Run's result; the name
// is free before the handler goes, so a handler at its address can reuse it.
TEST_F(ThreadTest, QuickRunLogsStartEndAndAutoDelete) {
  Probe probe;
  IThread* thread = m_runtime->NewThread(new ProbeHandler(&probe, Mode::kReturn, 7), "quick", true, 0);
  ASSERT_NE(thread, nullptr);
  thread->Start();
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);
  ASSERT_TRUE(WaitEnded(probe.thread.get()));
  DWORD exit_code = 0;
  GetExitCodeThread(probe.thread.get(), &exit_code);
  EXPECT_EQ(exit_code, 7u);
  EXPECT_EQ(probe.released, 1);
  EXPECT_EQ(probe.registered_at_release, 0);
  EXPECT_EQ(m_runtime->RegisteredThreadCount(), 0u);

  std::vector<std::string> expected = {kStartLine, kEndLine, kAutoDeleteLine};
  EXPECT_EQ(MessagesOf(Lines(), "quick"), expected);
  // The start line's bytes, as they must reach the file.
  const std::string gbk_start = "\xC6\xF4\xB6\xAF\xCF\xDF\xB3\xCC\xD6\xF7\xBA\xAF\xCA\xFD\xA1\xA3";
  EXPECT_NE(ReadFileBytes(m_logPath).find("(P2PClient:quick) " + gbk_start + "\r\n"),
            std::string::npos);
}

// Without auto-delete the object outlives its OS thread, registered, until
// Release; Release leaves the handler to its owner.
TEST_F(ThreadTest, WithoutAutoDeleteStaysRegisteredUntilRelease) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kReturn);
  IThread* thread = m_runtime->NewThread(handler, "kept", false, 0);
  ASSERT_NE(thread, nullptr);
  thread->Start();
  EXPECT_EQ(thread->Wait(30000), WAIT_OBJECT_0);
  EXPECT_TRUE(IsRegistered("kept"));
  EXPECT_EQ(probe.released, 0);

  thread->Release();
  EXPECT_FALSE(IsRegistered("kept"));
  EXPECT_EQ(probe.released, 0);
  delete handler;

  std::vector<std::string> expected = {kStartLine, kEndLine};
  EXPECT_EQ(MessagesOf(Lines(), "kept"), expected);
  std::vector<std::string> ours = MessagesOf(Lines(), OwnFallbackName());
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ours.back(), kDeleteLine);
}

// Stop(false) posts the quit and returns while the thread still runs, keeping
// its identifier (posting works) and handle (waiting works).
TEST_F(ThreadTest, StopWithoutWaitReturnsAtOnce) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kWaitGate);
  IThread* thread = m_runtime->NewThread(handler, "busy", false, 0);
  thread->Start();
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);

  EXPECT_EQ(thread->Stop(false), 0);
  EXPECT_EQ(thread->Wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(thread->PostMsg(WM_USER + 5, 0, 0));

  SetEvent(probe.gate.get());
  EXPECT_EQ(thread->Wait(30000), WAIT_OBJECT_0);
  thread->Release();
  delete handler;
}

// SendMsg runs OnMessage(a, b, c) on the thread and returns its result; the
// loop sees WM_USER 0, 0 first, never the call message itself, and returns 0
// when Stop ends it.
TEST_F(ThreadTest, SendMsgRoundTripThroughMessageLoop) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kMessageLoop);
  IThread* thread = m_runtime->NewThread(handler, "loop", false, 0);
  handler->thread = thread;
  thread->Start();

  EXPECT_EQ(thread->SendMsg(3, 4, 5), 345);
  EXPECT_TRUE(thread->PostMsg(WM_USER + 1, 8, 9));
  // A stray call message, as another process could post: dropped, not run.
  EXPECT_TRUE(thread->PostMsg(kMsgSyncCall, 0, 0x1234));
  EXPECT_EQ(thread->SendMsg(1, 2, 3), 123);
  EXPECT_EQ(thread->Stop(true), 0);
  EXPECT_EQ(probe.loop_result, 0);

  ASSERT_EQ(probe.messages.size(), 4u);
  EXPECT_EQ(probe.messages[0].message, kMsgThreadStarted);
  EXPECT_EQ(probe.messages[0].wParam, 0u);
  EXPECT_EQ(probe.messages[0].lParam, 0);
  EXPECT_EQ(probe.messages[1].message, 3u);
  EXPECT_EQ(probe.messages[1].wParam, 4u);
  EXPECT_EQ(probe.messages[1].lParam, 5);
  EXPECT_EQ(probe.messages[2].message, static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(probe.messages[3].message, 1u);
  for (const MSG& msg : probe.messages) EXPECT_NE(msg.message, kMsgSyncCall);

  thread->Release();
  delete handler;
}

// SendMsg never waits for a thread that cannot take the call.
TEST_F(ThreadTest, SendMsgToThreadThatCannotAnswerFails) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kReturn);
  IThread* thread = m_runtime->NewThread(handler, "idle", false, 0);
  EXPECT_EQ(thread->SendMsg(1, 2, 3), -1) << "not started";

  // Started, then ended without reading its queue: the call is never taken.
  thread->Start();
  EXPECT_EQ(thread->Wait(30000), WAIT_OBJECT_0);
  EXPECT_EQ(thread->SendMsg(1, 2, 3), -1);
  EXPECT_TRUE(probe.messages.empty());
  thread->Release();
  delete handler;
}

// Release stops a running thread and waits for it: its loop ends, its handler
// stays, its name is free.
TEST_F(ThreadTest, ReleaseStopsRunningThread) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kMessageLoop);
  IThread* thread = m_runtime->NewThread(handler, "released", true, 0);
  handler->thread = thread;
  thread->Start();
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);

  thread->Release();
  EXPECT_EQ(WaitForSingleObject(probe.thread.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(probe.loop_result, 0);
  EXPECT_EQ(probe.released, 0) << "Release clears auto-delete first";
  EXPECT_FALSE(IsRegistered("released"));
  delete handler;
}

TEST_F(ThreadTest, SuspendAndResumeReportOsFailure) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kWaitGate);
  IThread* thread = m_runtime->NewThread(handler, "pausing", false, 0);
  EXPECT_EQ(thread->Suspend(), -1) << "no OS thread yet";
  EXPECT_EQ(thread->Resume(), -1);
  EXPECT_EQ(thread->Stop(true), 0) << "not running: nothing to stop";

  thread->Start();
  EXPECT_EQ(thread->Suspend(), 0);
  EXPECT_EQ(thread->Resume(), 0);
  SetEvent(probe.gate.get());
  EXPECT_EQ(thread->Stop(true), 0);
  EXPECT_EQ(thread->Reserved(), 0);
  thread->Release();
  delete handler;
}

HANDLE WINAPI RefuseThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                           LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

class RefusedThreadTest : public RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    SetThreadCreateFunction(&RefuseThread);
  }
  void TearDown() override {
    SetThreadCreateFunction(nullptr);
    RuntimeTest::TearDown();
  }
};

// With no OS thread Start returns -1 at once. The auto-delete caller has let
// go, so the object cleans up as if Run had returned: handler released, name
// free.
TEST_F(RefusedThreadTest, AutoDeleteThreadCleansUp) {
  Probe probe;
  IThread* thread = m_runtime->NewThread(new ProbeHandler(&probe, Mode::kReturn), "nothread", true, 0);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(thread->Start(), -1);
  EXPECT_EQ(probe.released, 1);
  EXPECT_FALSE(IsRegistered("nothread"));
  std::vector<std::string> ours = MessagesOf(Lines(), OwnFallbackName());
  ASSERT_GE(ours.size(), 2u);
  EXPECT_EQ(ours[0], "CreateThread failed for nothread: 8");
  EXPECT_EQ(ours[1], kAutoDeleteLine);
}

// Without auto-delete the caller still owns the object, registered and idle.
TEST_F(RefusedThreadTest, OwnedThreadStaysWithCaller) {
  Probe probe;
  auto* handler = new ProbeHandler(&probe, Mode::kReturn);
  IThread* thread = m_runtime->NewThread(handler, "owned", false, 0);
  EXPECT_EQ(thread->Start(), -1);
  EXPECT_TRUE(IsRegistered("owned"));
  EXPECT_EQ(thread->Stop(true), 0);
  thread->Release();
  EXPECT_FALSE(IsRegistered("owned"));
  EXPECT_EQ(probe.released, 0);
  delete handler;
}

SIZE_T g_askedStack = 0;
DWORD g_askedFlags = 0;

HANDLE WINAPI RecordStackThenCreate(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                    LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                                    LPDWORD id) {
  g_askedStack = stack;
  g_askedFlags = flags;
  return CreateThread(security, stack, routine, parameter, flags, id);
}

// A stack reserve asked before Start reaches the OS as a reservation; without
// one the process default stays.
TEST_F(ThreadTest, StackReserveIsPassedAsAReservation) {
  SetThreadCreateFunction(&RecordStackThenCreate);
  Probe probe;
  IThread* thread = m_runtime->NewThread(new ProbeHandler(&probe, Mode::kReturn), "small", true, 0);
  thread->SetStackReserve(256 * 1024);
  EXPECT_EQ(thread->Start(), 0);
  EXPECT_EQ(g_askedStack, 256u * 1024);
  EXPECT_TRUE(g_askedFlags & STACK_SIZE_PARAM_IS_A_RESERVATION);
  ASSERT_EQ(WaitForSingleObject(probe.in_run.get(), 30000), WAIT_OBJECT_0);
  ASSERT_TRUE(WaitEnded(probe.thread.get()));

  Probe default_probe;
  thread = m_runtime->NewThread(new ProbeHandler(&default_probe, Mode::kReturn), "default", true, 0);
  EXPECT_EQ(thread->Start(), 0);
  EXPECT_EQ(g_askedStack, 0u);
  EXPECT_FALSE(g_askedFlags & STACK_SIZE_PARAM_IS_A_RESERVATION);
  ASSERT_EQ(WaitForSingleObject(default_probe.in_run.get(), 30000), WAIT_OBJECT_0);
  ASSERT_TRUE(WaitEnded(default_probe.thread.get()));
  SetThreadCreateFunction(nullptr);
}

}  // namespace
}  // namespace enginetest
