// Engine-wide state. Written on the caller's thread by the setters and by
// KovaShareStart before the thread that reads each value is started, and never
// written again: readers take no lock.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

class IThreadManager;
class ILog;
class IHttpServer;
class IPCServer;

extern HKEY g_regRoot;
extern std::string g_regPath;
extern std::string g_userId;
extern IThreadManager* g_runtime;
extern ILog* g_log;  // null whenever g_runtime is null
// True when g_log writes nowhere: the log functions then skip formatting, which
// is most of their cost on every peer request.
extern bool g_logOff;
extern IHttpServer* g_httpServer;  // null when the HTTP server failed to start
extern IPCServer* g_ipcServer;
// The peer port once the HTTP server listens (0 before, and without one): the
// announcer names it without reaching up into the server.
extern std::atomic<int> g_httpPort;

// The engine's fixed configuration key under HKEY_LOCAL_MACHINE.
constexpr const char kEngineKeyPath[] = "Software\\TESK\\Morwick\\p4p";
