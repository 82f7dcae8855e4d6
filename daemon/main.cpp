// zrvd_daemon: keeps one copy of itself running from its ".bin" side copy,
// hosts the sharing engine, and ends when the game and its launcher are gone.
#include <windows.h>

#include "daemon/crash_dump.h"
#include "daemon/daemon_names.h"
#include "daemon/daemon_window.h"
#include "daemon/engine_host.h"
#include "daemon/instance.h"
#include "engine/kovashare.h"

namespace {
// Well past the engine's finish (3 s at most) on a loaded machine.
constexpr unsigned long kPreviousDaemonWaitMs = 10000;
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  InstallCrashDumps();
  if (AcquireInstanceMutex(kInstanceGuid)) return 0;
  // A daemon that was just asked to quit still finishes from the side copy: its
  // file cannot be replaced and its engine still serves until it is gone.
  if (!WaitForPreviousDaemon(kPreviousDaemonWaitMs)) {
    OutputDebugStringA("The previous daemon is still running");
  }
  if (RelaunchFromBinCopy()) return 0;
  StartSharingEngine();
  if (!CreateDaemonWindow(instance)) return 1;
  RunMessageLoop();
  // The instance is given up before the router is asked anything: a daemon the
  // launcher starts right after the quit takes the mutex and runs, and nobody's
  // SendMessage waits on a window of ours.
  if (IsWindow(g_hDaemonWnd)) DestroyWindow(g_hDaemonWnd);
  ReleaseInstanceMutex();
  KovaShareFinish();
  return 0;
}
