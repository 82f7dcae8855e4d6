// The engine's start sequence, behind KovaShareStart.
#pragma once

#include <cstdint>
#include <string>

// Builds the engine's long-lived objects in order: runtime and log, HTTP server
// with its handlers (which accepts only once they, the upload settings and the
// catalogue's key-change hooks are in place), catalogue with its "FileList"
// thread, IPC service.
void StartEngine(int ipc_port);

// The port the IPC service listens on; 0 before the service exists.
int EngineIpcPort();

// The log's size limit in MB when "P4PShareLogMaxMB" is absent or not a REG_DWORD.
constexpr uint32_t kDefaultLogLimitMb = 64;

// "P4PShareLogMaxMB" when it is a REG_DWORD (0: no limit), else kDefaultLogLimitMb.
// Read at start only, with the log path.
uint32_t ReadLogLimitSetting();
