#include "engine/engine_start.h"

#include <windows.h>

#include <atomic>
#include <memory>

#include "catalogue/file_verifier.h"
#include "catalogue/registry_value.h"
#include "catalogue/shared_file_list.h"
#include "common/unique_any.h"
#include "engine/status_view.h"
#include "httpserver/http_file_handler.h"
#include "httpserver/http_server.h"
#include "ipc/ipc_server.h"
#include "portmap/port_mapper.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/log_setting.h"
#include "runtime/runtime.h"
#include "statuspage/status_handler.h"
#include "statuspage/status_page_source.h"
#include "uploadpolicy/delay_probe.h"
#include "uploadpolicy/metered_watch.h"
#include "uploadpolicy/upload_control.h"
#include "uploadpolicy/upload_gate.h"

namespace {
// Read by the catalogue's watch thread when it puts a deleted key back.
std::atomic<int> g_ipcPort{0};

// Writes `port` as `name` unless the key holds it already: a write wakes every
// watcher of the key.
void PublishPort(HKEY key, const char* name, int port) {
  DWORD stored = 0;
  if (port == 0 || (ReadDwordValue(key, name, &stored) && stored == static_cast<DWORD>(port))) {
    return;
  }
  WriteDwordValue(key, name, static_cast<DWORD>(port));
}

// Local tools (zrvdctl status) find the peer port here; it is the engine's own
// value, beside the IPC port that the host publishes.
void PublishHttpPort(HKEY key) { PublishPort(key, "HttpPort", g_httpPort.load()); }

bool GameRunningNow() { return ReadUploadState().game_running; }

void AskForFileCheck() { RequestFileCheck(true); }

// Every change of the engine key: the settings that are followed live.
void FollowSettings() {
  ReloadUploadSettings();
  PortMappingSettingsChanged();
}

// The host publishes the IPC port in the engine key once at start; when the
// catalogue finds that key deleted and creates it again, both ports are written
// again, so that a download client or tool started afterwards still finds them.
void PublishPortsAgain() {
  // The month's count too, or a kill before the next upload would lose the month.
  MonthCountKeyRemade();
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    key.put()) != ERROR_SUCCESS) {
    return;
  }
  PublishHttpPort(key.get());
  if (g_regRoot != HKEY_LOCAL_MACHINE || lstrcmpiA(g_regPath.c_str(), kEngineKeyPath) != 0) {
    return;
  }
  PublishPort(key.get(), "IPCPort", g_ipcPort.load());
}
}  // namespace

uint32_t ReadLogLimitSetting() {
  zrvd::unique_hkey key;
  DWORD limit = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngineKeyPath, 0, KEY_QUERY_VALUE, key.put()) !=
          ERROR_SUCCESS ||
      !ReadDwordValue(key.get(), "P4PShareLogMaxMB", &limit)) {
    return kDefaultLogLimitMb;
  }
  return limit;
}

void StartEngine(int ipc_port) {
  // The runtime comes first: every later step logs and makes threads through it.
  auto* runtime = new CPxpRuntime(ReadLogPathSetting().c_str(),
                                  static_cast<uint64_t>(ReadLogLimitSetting()) << 20);
  g_runtime = runtime;
  g_logOff = !runtime->LogOn();
  g_log = runtime;
  // The main thread is no framework thread, so its lines keep "Thread <id>".
  runtime->SetThreadName("KovaShare");
  NoteEngineStart();

  // HTTP server: peers' file service, on a port the system chooses. Without it
  // the engine runs on, serving nothing. What it consults (its handlers, the
  // upload settings, the hooks its first lookup hands to the catalogue's watch)
  // is in place before it accepts.
  HttpServer* http_server = new HttpServer(&SharedUploadGate());
  MakeStatusPageToken();
  http_server->AddHandler(new StatusHandler(StatusSource{&StatusJson, &StatusTable,
                                                         &AskForFileCheck, &SetSharingPaused,
                                                         &ReadUiFile, StatusPageToken()}));
  http_server->AddHandler(new HttpFileHandler(&SharedUploadGate()));
  SetUploadControlledServer(
      [http_server](int32_t bound) { http_server->SetMaxConnectionsPerPeer(bound); });
  // The player's upload settings, in force now and again after every change;
  // then the month's count, the link's cost and which peers are on the LAN.
  UploadBook::Shared().SetChangeSink(&LogBookChange);
  ReloadUploadSettings();
  StartMeteredWatch(g_runtime);
  StartDelayProbe(g_runtime);
  SharedFileList::SetKeyRecreatedHook(&PublishPortsAgain);
  SharedFileList::SetKeyChangedHook(&FollowSettings);
  // Set before the threads that read it exist; cleared only if none came.
  g_httpServer = http_server;
  if (http_server->Start(g_runtime, 0)) {
    g_httpPort = http_server->GetPort();
    zrvd::unique_hkey engine;
    if (RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, engine.put(),
                        nullptr) == ERROR_SUCCESS) {
      PublishHttpPort(engine.get());
    }
    // On a thread of its own: nothing here waits for a router.
    StartPortMapping(g_runtime, static_cast<uint16_t>(g_httpPort.load()));
  } else {
    SetUploadControlledServer(nullptr);
    http_server->Release();
    g_httpServer = nullptr;
  }

  // Catalogue: prunes the registry list and starts "FileList" and its watch.
  // Connection threads of the HTTP server may race this first call; Instance copes.
  SharedFileList::Instance();
  // Every entry not yet checked against its MD5, one at a time, in the background.
  StartFileVerifier(g_runtime, &GameRunningNow);
  RequestFileCheck(false);

  // IPC service, last: its clients hand over files for the catalogue. Without
  // a listener or a thread the engine runs on and reports port 0, so that no
  // client waits on a port nobody serves.
  try {
    std::unique_ptr<IPCServer> server(new IPCServer(ipc_port));
    const int port = server->GetPort();
    // Set before the thread can end and clear it again from the destructor.
    g_ipcServer = server.get();
    if (server->Start()) {
      server.release();  // its thread owns it now
      g_ipcPort = port;
    } else {
      LogInfo("IPC service not started: no thread for its listener");
    }
  } catch (const char* error) {
    LogInfo("IPC service not started: %s", error);
  }
}

int EngineIpcPort() { return g_ipcPort; }
