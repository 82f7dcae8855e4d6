#include "runtime/globals.h"

HKEY g_regRoot = nullptr;
std::string g_regPath;
std::string g_userId;
IThreadManager* g_runtime = nullptr;
ILog* g_log = nullptr;
bool g_logOff = false;
IHttpServer* g_httpServer = nullptr;
IPCServer* g_ipcServer = nullptr;
std::atomic<int> g_httpPort{0};
