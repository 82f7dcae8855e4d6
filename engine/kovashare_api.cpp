#include "engine/kovashare.h"

#include "engine/engine_finish.h"
#include "engine/engine_start.h"
#include "runtime/globals.h"
#include "uploadpolicy/upload_control.h"

namespace {
// Long enough for the one removal request of the end (no search, no list: the
// gateway of the last look); a gateway that stopped answering does not hold the
// host's end for longer.
constexpr uint32_t kFinishWaitMs = 3000;
}  // namespace

void __cdecl KovaShareFinish() { FinishEngine(kFinishWaitMs); }

int __cdecl KovaShareGetIPCPort() { return EngineIpcPort(); }

void __cdecl KovaShareSetRegPath(HKEY root, const char* path) {
  g_regRoot = root;
  g_regPath = path ? path : "";
}

void __cdecl KovaShareSetUserID(const char* user_id) { g_userId = user_id ? user_id : ""; }

void __cdecl KovaShareStart(int ipc_port) { StartEngine(ipc_port); }

void __cdecl KovaShareSetGameRunning(int running) { SetGameRunning(running != 0); }
