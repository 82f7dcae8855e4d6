// The end of the PortMap thread as a host meets it at a DLL's process detach: the
// thread already gone (the system ends the others first), the wait must not last.
#include <windows.h>

#include <gtest/gtest.h>

#include "portmap/port_mapper.h"
#include "tests/win/support/test_threads.h"

namespace {

DWORD WINAPI RunHandler(void* handler) {
  return static_cast<DWORD>(static_cast<IThreadHandler*>(handler)->Run());
}

TEST(PortMapperStop, ReturnsAtOnceWhenTheThreadIsGone) {
  SetEnvironmentVariableA(kPortMappingEnv, "0");  // the thread asks no router
  zrvd_test::TestThreadManager manager(zrvd_test::TestThreadManager::Mode::kHold);
  StartPortMapping(&manager, 41813);
  ASSERT_EQ(manager.Requests().size(), 1u);
  // Run here, on a thread whose handle the test holds.
  HANDLE thread = CreateThread(nullptr, 0, RunHandler, manager.Requests()[0].handler, 0, nullptr);
  for (int i = 0; i < 200 && ReadPortMapStatus().state != PortMapState::kOff; ++i) Sleep(10);
  ASSERT_EQ(ReadPortMapStatus().state, PortMapState::kOff);
  TerminateThread(thread, 0);  // as the system does before a DLL's process detach
  WaitForSingleObject(thread, 5000);
  const DWORD begin = GetTickCount();
  StopPortMapping(10000);
  EXPECT_LT(GetTickCount() - begin, 1000u);
  CloseHandle(thread);
}

}  // namespace
