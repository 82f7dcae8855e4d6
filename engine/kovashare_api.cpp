#include "engine/kovashare.h"

#include "engine/engine_start.h"
#include "engine/globals.h"
#include "engine/upload_control.h"

void __cdecl KovaShareFinish() {
  // The engine has no stop: its threads end with the process.
}

int __cdecl KovaShareGetIPCPort() { return EngineIpcPort(); }

void __cdecl KovaShareSetRegPath(HKEY root, const char* path) {
  g_regRoot = root;
  g_regPath = path ? path : "";
}

void __cdecl KovaShareSetUserID(const char* user_id) { g_userId = user_id ? user_id : ""; }

void __cdecl KovaShareStart(int ipc_port) { StartEngine(ipc_port); }

void __cdecl KovaShareSetGameRunning(int running) { SetGameRunning(running != 0); }
