#include "engine/engine_start.h"

#include <shlwapi.h>

#include "catalogue/shared_file_list.h"
#include "engine/globals.h"

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

  // Catalogue: prunes the registry list and starts "FileList". Connection
  // threads of the HTTP server may race this first call; Instance copes.
  SharedFileList::Instance();
}

int EngineIpcPort() { return g_ipcPort; }
