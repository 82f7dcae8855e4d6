// The engine's finish as a host meets it at a DLL's process detach: the threads
// already ended by the system (one perhaps inside a lock). It saves the month's
// count first and does not wait for threads that are gone.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>

#include "engine/engine_finish.h"
#include "uploadpolicy/metered_watch.h"
#include "portmap/port_mapper.h"
#include "runtime/globals.h"
#include "tests/win/support/test_threads.h"

namespace {

DWORD WINAPI RunHandler(void* handler) {
  return static_cast<DWORD>(static_cast<IThreadHandler*>(handler)->Run());
}

uint64_t StoredLanBytes(const std::string& path) {
  uint64_t bytes = 0;
  DWORD size = sizeof(bytes);
  SHGetValueA(HKEY_CURRENT_USER, path.c_str(), "UploadMonthLanBytes", nullptr, &bytes, &size);
  return bytes;
}

TEST(EngineFinish, SavesFirstAndDoesNotWaitForEndedThreads) {
  const std::string path = "Software\\ZrvdTests\\finish-" + std::to_string(GetCurrentProcessId());
  SHDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
  SHSetValueA(HKEY_CURRENT_USER, path.c_str(), "Made", REG_SZ, "1", 2);
  g_regRoot = HKEY_CURRENT_USER;
  g_regPath = path;
  SetEnvironmentVariableA(kPortMappingEnv, "0");  // the mapping thread asks no router

  zrvd_test::TestThreadManager manager(zrvd_test::TestThreadManager::Mode::kHold);
  StartMeteredWatch(&manager);
  StartPortMapping(&manager, 41813);
  const auto requests = manager.Requests();
  ASSERT_EQ(requests.size(), 2u);
  UploadBook::Shared().AddBytes(true, 5);
  // Run here, on threads whose handles the test holds.
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = CreateThread(nullptr, 0, RunHandler, requests[i].handler, 0, nullptr);
  }
  // Both are in their loops: the cost thread has saved, the mapper says it is off.
  for (int i = 0; i < 2000 && (StoredLanBytes(path) != 5 ||
                               ReadPortMapStatus().state != PortMapState::kOff);
       ++i) {
    Sleep(10);
  }
  ASSERT_EQ(StoredLanBytes(path), 5u);
  ASSERT_EQ(ReadPortMapStatus().state, PortMapState::kOff);
  for (HANDLE thread : threads) TerminateThread(thread, 0);  // as before a process detach
  WaitForMultipleObjects(2, threads, TRUE, 5000);

  UploadBook::Shared().AddBytes(true, 7);
  const DWORD begin = GetTickCount();
  FinishEngine(10000);
  EXPECT_LT(GetTickCount() - begin, 1000u);
  EXPECT_EQ(StoredLanBytes(path), 12u);
  for (HANDLE thread : threads) CloseHandle(thread);
  SHDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
}

}  // namespace
