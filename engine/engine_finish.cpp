// The engine's finish: what must outlive the process first, then the threads' ends.
#include "engine/engine_finish.h"

#include <windows.h>

#include "uploadpolicy/delay_probe.h"
#include "uploadpolicy/metered_watch.h"
#include "portmap/port_mapper.h"

namespace {

// True once the process ends (ExitProcess): the system has ended every other
// thread, perhaps while one held a lock, and DLLs are being detached.
bool ProcessEnding() {
  using ShutdownFn = BOOLEAN(WINAPI*)();
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto shutdown = reinterpret_cast<ShutdownFn>(
      reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, "RtlDllShutdownInProgress") : nullptr));
  return shutdown != nullptr && shutdown() != 0;
}

}  // namespace

void FinishEngine(uint32_t wait_ms) {
  if (ProcessEnding()) return;
  // A launcher may start the next daemon the moment we are gone, or the system
  // end us before the router answers: the count goes to the key before either.
  SaveMonthCountNow();
  HANDLE threads[3];
  DWORD count = 0;
  for (void* thread : {AskPortMappingToStop(), AskMeteredWatchToStop(), AskDelayProbeToStop()}) {
    if (thread != nullptr) threads[count++] = thread;
  }
  // One deadline for all: their ends run side by side.
  if (count > 0) WaitForMultipleObjects(count, threads, TRUE, wait_ms);
  SaveMonthCountNow();
}
