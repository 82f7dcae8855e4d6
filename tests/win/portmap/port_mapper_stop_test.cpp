// The end of the PortMap thread as a host meets it at a DLL's process detach: the
// thread already gone (the system ends the others first), the wait must not last.
#include <windows.h>

#include <gtest/gtest.h>

#include "portmap/port_mapper.h"
#include "runtime/thread.h"

namespace {

DWORD WINAPI RunHandler(void* handler) {
  return static_cast<DWORD>(static_cast<IThreadHandler*>(handler)->Run());
}

// Just enough of the framework: Start runs the handler on a thread of its own.
class PlainThread : public IThread {
 public:
  explicit PlainThread(IThreadHandler* handler) : m_handler(handler) {}
  int32_t Start() override {
    m_handle = CreateThread(nullptr, 0, RunHandler, m_handler, 0, nullptr);
    return m_handle ? 0 : -1;
  }
  BOOL PostMsg(UINT, WPARAM, LPARAM) override { return FALSE; }
  int32_t SendMsg(uint32_t, uint32_t, uint32_t) override { return 0; }
  BOOL GetMsg(MSG*) override { return FALSE; }
  LPARAM MessageLoop() override { return 0; }
  int32_t Suspend() override { return 0; }
  int32_t Resume() override { return 0; }
  int32_t Stop(bool) override { return 0; }
  DWORD Wait(DWORD ms) override { return WaitForSingleObject(m_handle, ms); }
  int32_t Reserved() override { return 0; }
  HANDLE m_handle = nullptr;

 private:
  IThreadHandler* m_handler;
};

class PlainManager : public IThreadManager {
 public:
  void Release() override {}
  IThread* NewThread(IThreadHandler* handler, const char*, bool, int32_t) override {
    thread = new PlainThread(handler);
    return thread;
  }
  PlainThread* thread = nullptr;
};

TEST(PortMapperStop, ReturnsAtOnceWhenTheThreadIsGone) {
  SetEnvironmentVariableA(kPortMappingEnv, "0");  // the thread asks no router
  PlainManager manager;
  StartPortMapping(&manager, 41813);
  ASSERT_NE(manager.thread, nullptr);
  for (int i = 0; i < 200 && ReadPortMapStatus().state != PortMapState::kOff; ++i) Sleep(10);
  ASSERT_EQ(ReadPortMapStatus().state, PortMapState::kOff);
  TerminateThread(manager.thread->m_handle, 0);  // as the system does before process detach
  WaitForSingleObject(manager.thread->m_handle, 5000);
  const DWORD begin = GetTickCount();
  StopPortMapping(10000);
  EXPECT_LT(GetTickCount() - begin, 1000u);
}

}  // namespace
