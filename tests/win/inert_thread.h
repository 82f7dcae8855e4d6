// Test stand-ins for IThread: every slot but Start does nothing, so fakes of
// the thread manager override only what their test looks at.
#pragma once

#include <windows.h>

#include "runtime/thread.h"

namespace zrvd_test {

class InertThread : public IThread {
 public:
  BOOL PostMsg(UINT, WPARAM, LPARAM) override { return FALSE; }
  int32_t SendMsg(uint32_t, uint32_t, uint32_t) override { return 0; }
  BOOL GetMsg(MSG*) override { return FALSE; }
  LPARAM MessageLoop() override { return 0; }
  int32_t Suspend() override { return 0; }
  int32_t Resume() override { return 0; }
  int32_t Stop(bool) override { return 0; }
  DWORD Wait(DWORD) override { return 0; }
  int32_t Reserved() override { return 0; }
};

}  // namespace zrvd_test
