// The engine start when the system gives no thread.
#include <windows.h>

#include <gtest/gtest.h>

#include "engine/engine_start.h"
#include "runtime/globals.h"
#include "runtime/pxp_thread.h"

namespace {

HANDLE WINAPI RefuseThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                           LPDWORD) {
  return nullptr;
}

// An HTTP server or IPC listener without its thread is dropped as when its socket
// cannot be opened: no server to probe and port 0, with the released objects untouched.
TEST(EngineStart, ServicesWithoutAThreadAreDropped) {
  SetThreadCreateFunction(&RefuseThread);
  StartEngine(0);
  SetThreadCreateFunction(nullptr);
  EXPECT_EQ(g_httpServer, nullptr);
  EXPECT_EQ(g_ipcServer, nullptr);
  EXPECT_EQ(EngineIpcPort(), 0);
}

}  // namespace
