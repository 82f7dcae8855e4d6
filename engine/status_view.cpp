#include "engine/status_view.h"

#include <windows.h>

#include <atomic>
#include <ctime>
#include <limits>
#include <map>

#include "catalogue/file_verifier.h"
#include "catalogue/shared_file_list.h"
#include "engine/engine_start.h"
#include "httpserver/http_server.h"
#include "portmap/port_mapper.h"
#include "runtime/globals.h"
#include "runtime/last_outcome.h"
#include "runtime/md5_text.h"
#include "runtime/settings.h"
#include "statuspage/status_cost.h"
#include "statuspage/status_page_source.h"
#include "statuspage/status_report.h"
#include "uploadpolicy/delay_probe.h"
#include "uploadpolicy/delay_status.h"
#include "uploadpolicy/served_stats.h"
#include "uploadpolicy/upload_control.h"

namespace {

std::atomic<int64_t> g_startTime{0};
constexpr size_t kTopFiles = 10;

// The catalogue holds paths in the system's ANSI code page; the report is UTF-8.
std::string AnsiToUtf8(const std::string& ansi) {
  if (ansi.empty()) return ansi;
  const int wide_size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                            nullptr, 0);
  if (wide_size <= 0) return std::string();
  std::wstring wide(static_cast<size_t>(wide_size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], wide_size);
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr,
                                       nullptr);
  if (size <= 0) return std::string();
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, &utf8[0], size, nullptr, nullptr);
  return utf8;
}

const char* ModeName(UploadMode mode) {
  switch (mode) {
    case UploadMode::kPaused:
      return "paused";
    case UploadMode::kInGame:
      return "in_game";
    default:
      return "normal";
  }
}

std::string HostText(const HostSetting& setting) {
  return setting.host + ":" + std::to_string(setting.port);
}

StatusSnapshot Gather() {
  StatusSnapshot s;
  s.now = static_cast<int64_t>(std::time(nullptr));
  char image[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, image, sizeof(image) - 1);
  s.image_path = AnsiToUtf8(image);
  s.process_id = GetCurrentProcessId();
  s.version = ZRVD_VERSION;
  s.start_time = g_startTime.load();
  const UploadStateNow upload = ReadUploadState();
  s.game_running = upload.game_running;
  s.cap = DescribeCap(upload.cap);
  s.cap_kbps = upload.cap.kbps;
  s.upload_mode = ModeName(upload.cap.mode);

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
  ServedStats::Figures served =
      ServedStats::Shared().Read(std::numeric_limits<size_t>::max());
  s.requests = served.requests;
  s.bytes = served.bytes;
  s.requests_60s = served.requests_60s;
  s.bytes_60s = served.bytes_60s;
  s.bytes_per_second = std::move(served.rate);
  std::map<std::string, uint64_t> served_bytes;  // by upper-case MD5 text
  for (StatusFileServed& file : served.top) {
    served_bytes[file.md5] = file.bytes;
    file.path = AnsiToUtf8(file.path);
  }
  if (served.top.size() > kTopFiles) served.top.resize(kTopFiles);
  s.top = std::move(served.top);

  const auto listed = [&](const std::string& md5, const std::string& path, uint64_t size,
                          const char* state) {
    const auto found = served_bytes.find(UpperMd5Text(md5));
    s.files.push_back(StatusSharedFile{UpperMd5Text(md5), AnsiToUtf8(path), size, state,
                                       found == served_bytes.end() ? 0 : found->second});
  };
  if (const auto entries = SharedFileList::Instance()->AllEntries()) {
    for (const auto& item : *entries) {
      if (s.files.size() == kListedFiles) break;
      const char* state = item.second.verified ? "checked"
                          : UpperMd5Text(item.first) == UpperMd5Text(checks.checking)
                              ? "checking"
                              : "pending";
      listed(item.first, item.second.local_path, item.second.length, state);
    }
  }
  for (const FailedFile& failed : checks.recent) {
    listed(failed.md5, failed.path, failed.length, "failed");
  }
  s.page_token = StatusPageToken();
  const PortMapStatus mapping = ReadPortMapStatus();
  s.port_mapping_json = FormatPortMapJson(mapping);
  s.port_mapping_text = FormatPortMapText(mapping);
  const UploadBook::Figures cost = UploadBook::Shared().Read();
  s.cost_json = FormatCostJson(cost);
  s.cost_rows = FormatCostRows(cost);
  const DelayStatus delay = ReadDelayStatus();
  s.upload_delay_json = FormatDelayJson(delay);
  s.upload_delay_row = FormatDelayRow(delay);
  s.delay_ms = ReadDelayHistory(s.now);
  return s;
}

}  // namespace

void NoteEngineStart() { g_startTime = static_cast<int64_t>(std::time(nullptr)); }

std::string StatusJson() { return FormatStatusJson(Gather()); }
std::string StatusTable() { return FormatStatusTable(Gather()); }
