// The sharing engine's exported interface (kovashare.dll).
// Call order: KovaShareSetRegPath and KovaShareSetUserID, then KovaShareStart
// once, then KovaShareGetIPCPort as often as needed.
#pragma once

#include <windows.h>

#ifdef KOVASHARE_BUILDING_DLL
#define KOVASHARE_API extern "C"
#else
#define KOVASHARE_API extern "C" __declspec(dllimport)
#endif

// The engine's end, once, before the host ends: saves the month's upload count,
// then lets the port mapping and the cost thread end, at most 3 s in all. Called
// at process detach (DllMain, an exit handler) it returns at once.
KOVASHARE_API void __cdecl KovaShareFinish();
KOVASHARE_API int __cdecl KovaShareGetIPCPort();
KOVASHARE_API void __cdecl KovaShareSetRegPath(HKEY root, const char* path);
KOVASHARE_API void __cdecl KovaShareSetUserID(const char* user_id);
KOVASHARE_API void __cdecl KovaShareStart(int ipc_port);
// Whether a protected game process runs (non-zero) or not; call again on every
// change. Uploads follow "UploadLimitInGameKBps" while it runs. An engine that
// is never told assumes no game runs.
KOVASHARE_API void __cdecl KovaShareSetGameRunning(int running);
