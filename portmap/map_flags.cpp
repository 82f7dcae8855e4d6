// The PortMap thread's stop flags: apart from the thread's loop, so that the requests
// which read them need nothing of it.
#include "portmap/map_flags.h"

#include <atomic>

namespace {
// Read without a lock: at a DLL's process detach the thread may have been ended
// while it held one.
std::atomic<bool> g_stopping{false};
std::atomic<bool> g_cut{false};
}  // namespace

bool PortMapStopping() { return g_stopping.load(); }
bool PortMapCut() { return g_cut.load(); }

bool AskPortMapEnd() {
  if (g_stopping.exchange(true)) return false;
  g_cut = true;
  return true;
}

void UncutPortMap() { g_cut = false; }
