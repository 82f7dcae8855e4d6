#include "engine/engine_start.h"

#include <shlwapi.h>

#include "catalogue/shared_file_list.h"
#include "engine/globals.h"
#include "httpserver/http_file_handler.h"
#include "httpserver/http_server.h"

namespace {
int g_ipcPort = 0;
}

std::string ReadLogPathSetting() {
  char buffer[1024];
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  if (SHGetValueA(HKEY_LOCAL_MACHINE, kEngineKeyPath, "P4PShareLogFilePath", &type, buffer,
                  &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return "null";
  }
  // Stored texts may lack their NUL; the size the registry reports bounds them.
  size_t length = size < sizeof(buffer) ? size : sizeof(buffer) - 1;
  buffer[length] = '\0';
  return buffer;
}

void StartEngine(int /*ipc_port*/) {
  // Runtime, HTTP server, catalogue and IPC service join this sequence as they
  // are built; until then the engine has no IPC port to report.

  // HTTP server: peers' file service, on a port the system chooses. Without it
  // the engine runs on, serving nothing.
  HttpServer* http_server = new HttpServer;
  g_httpServer = http_server;
  if (http_server->Start(g_runtime, 0)) {
    http_server->AddHandler(new HttpFileHandler);
  } else {
    http_server->Release();
    g_httpServer = nullptr;
  }

  // Catalogue: prunes the registry list and starts "FileList". Connection
  // threads of the HTTP server may race this first call; Instance copes.
  SharedFileList::Instance();
}

int EngineIpcPort() { return g_ipcPort; }
