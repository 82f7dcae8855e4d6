// The engine's start sequence, behind KovaShareStart.
#pragma once

#include <string>

// Builds the engine's long-lived objects in order: runtime and log, HTTP server
// with its file handler, catalogue with its "FileList" thread, IPC service.
void StartEngine(int ipc_port);

// The port the IPC service listens on; 0 before the service exists.
int EngineIpcPort();

// "P4PShareLogFilePath" when it is a REG_SZ that fits 1024 bytes, else "null".
std::string ReadLogPathSetting();
