#include "engine/status_view.h"

#include <windows.h>

#include <atomic>
#include <ctime>

#include "catalogue/file_verifier.h"
#include "catalogue/shared_file_list.h"
#include "engine/engine_start.h"
#include "engine/status_cost.h"
#include "engine/status_report.h"
#include "engine/upload_control.h"
#include "httpserver/http_server.h"
#include "httpserver/served_stats.h"
#include "portmap/port_mapper.h"
#include "runtime/globals.h"
#include "runtime/last_outcome.h"
#include "runtime/settings.h"

namespace {

std::atomic<int64_t> g_startTime{0};
constexpr size_t kTopFiles = 10;

std::string HostText(const HostSetting& setting) {
  return setting.host + ":" + std::to_string(setting.port);
}

StatusSnapshot Gather() {
  StatusSnapshot s;
  s.now = static_cast<int64_t>(std::time(nullptr));
  char image[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, image, sizeof(image) - 1);
  s.image_path = image;
  s.process_id = GetCurrentProcessId();
  s.version = ZRVD_VERSION;
  s.start_time = g_startTime.load();
  const UploadStateNow upload = ReadUploadState();
  s.game_running = upload.game_running;
  s.cap = DescribeCap(upload.cap);
  s.cap_kbps = upload.cap.kbps;

  s.ipc_port = EngineIpcPort();
  auto* server = static_cast<HttpServer*>(g_httpServer);
  s.http_port = server ? server->GetPort() : 0;
  s.tracker_host = HostText(ReadTrackerHost());
  s.probe_host = HostText(ReadProbeHost());
  s.web_report = LastWebReport();
  s.announcement = LastAnnouncement();

  const CatalogueView::Totals totals = SharedFileList::Instance()->Count();
  const FileCheckFigures checks = ReadFileCheckFigures();
  s.entries = totals.entries;
  s.total_bytes = totals.bytes;
  s.verified = totals.verified;
  s.pending = totals.entries - totals.verified;
  s.failed = checks.failed;
  s.checking = checks.checking;

  // The connection that asks is not counted.
  s.connections = server ? server->OpenConnections() - 1 : 0;
  if (s.connections < 0) s.connections = 0;
  const ServedStats::Figures served = ServedStats::Shared().Read(s.now, kTopFiles);
  s.requests = served.requests;
  s.bytes = served.bytes;
  s.requests_60s = served.requests_60s;
  s.bytes_60s = served.bytes_60s;
  s.top = served.top;
  const PortMapStatus mapping = ReadPortMapStatus();
  s.port_mapping_json = FormatPortMapJson(mapping);
  s.port_mapping_text = FormatPortMapText(mapping);
  const UploadBook::Figures cost = UploadBook::Shared().Read();
  s.cost_json = FormatCostJson(cost);
  s.cost_rows = FormatCostRows(cost);
  return s;
}

}  // namespace

void NoteEngineStart() { g_startTime = static_cast<int64_t>(std::time(nullptr)); }

std::string StatusJson() { return FormatStatusJson(Gather()); }
std::string StatusTable() { return FormatStatusTable(Gather()); }
