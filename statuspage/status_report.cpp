#include "statuspage/status_report.h"

#include <cstdio>

namespace {

std::string Number(uint64_t value) { return std::to_string(value); }

std::string OutcomeJson(const StatusOutcome& outcome) {
  if (outcome.time == 0) return "null";
  return "{\"time\":" + JsonString(FormatUtcTime(outcome.time)) +
         ",\"result\":" + JsonString(outcome.result) + "}";
}

std::string OutcomeText(const StatusOutcome& outcome) {
  if (outcome.time == 0) return "not yet";
  return FormatUtcTime(outcome.time) + ", " + outcome.result;
}

std::string NumberList(const std::vector<uint64_t>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ",";
    out += Number(values[i]);
  }
  return out + "]";
}

std::string FilesJson(const std::vector<StatusSharedFile>& files) {
  std::string out = "[";
  for (size_t i = 0; i < files.size(); ++i) {
    if (i) out += ",";
    out += "{\"md5\":" + JsonString(files[i].md5) + ",\"path\":" + JsonStringUtf8(files[i].path) +
           ",\"size\":" + Number(files[i].size) + ",\"state\":" + JsonString(files[i].state) +
           ",\"bytes\":" + Number(files[i].bytes) + "}";
  }
  return out + "]";
}

std::string PageUrl(int32_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

std::string Bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30)) {
    std::snprintf(text, sizeof(text), "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
  } else if (bytes >= (1ull << 20)) {
    std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1ull << 20));
  } else {
    std::snprintf(text, sizeof(text), "%llu B", static_cast<unsigned long long>(bytes));
  }
  return text;
}

}  // namespace

std::string FormatUtcTime(int64_t seconds) {
  // Days to a civil date (proleptic Gregorian), so no gmtime and its shared buffer.
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof(text), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

std::string FormatStatusJson(const StatusSnapshot& s) {
  std::string top = "[";
  for (size_t i = 0; i < s.top.size(); ++i) {
    if (i) top += ",";
    top += "{\"md5\":" + JsonString(s.top[i].md5) + ",\"path\":" + JsonStringUtf8(s.top[i].path) +
           ",\"bytes\":" + Number(s.top[i].bytes) + "}";
  }
  top += "]";
  const int64_t uptime = s.now > s.start_time ? s.now - s.start_time : 0;
  return std::string("{") +
         "\"daemon\":{\"image\":" + JsonStringUtf8(s.image_path) +
         ",\"pid\":" + Number(s.process_id) + ",\"version\":" + JsonString(s.version) +
         ",\"started\":" + JsonString(FormatUtcTime(s.start_time)) +
         ",\"uptime_s\":" + Number(static_cast<uint64_t>(uptime)) +
         ",\"game_running\":" + (s.game_running ? "true" : "false") +
         ",\"upload_cap\":" + JsonString(s.cap) + ",\"upload_cap_kbps\":" + Number(s.cap_kbps) +
         ",\"upload_mode\":" + JsonString(s.upload_mode) +
         "},\"engine\":{\"ipc_port\":" + std::to_string(s.ipc_port) +
         ",\"http_port\":" + std::to_string(s.http_port) +
         ",\"tracker_host\":" + JsonString(s.tracker_host) +
         ",\"probe_host\":" + JsonString(s.probe_host) +
         ",\"last_web_report\":" + OutcomeJson(s.web_report) +
         ",\"last_announcement\":" + OutcomeJson(s.announcement) +
         "},\"catalogue\":{\"entries\":" + Number(s.entries) +
         ",\"total_bytes\":" + Number(s.total_bytes) + ",\"verified\":" + Number(s.verified) +
         ",\"pending\":" + Number(s.pending) + ",\"failed\":" + Number(s.failed) +
         ",\"checking\":" + (s.checking.empty() ? std::string("null") : JsonString(s.checking)) +
         ",\"files\":" + FilesJson(s.files) +
         "},\"peers\":{\"connections\":" + std::to_string(s.connections) +
         ",\"requests\":" + Number(s.requests) + ",\"bytes\":" + Number(s.bytes) +
         ",\"requests_60s\":" + Number(s.requests_60s) + ",\"bytes_60s\":" + Number(s.bytes_60s) +
         ",\"top\":" + top + ",\"bytes_per_second\":" + NumberList(s.bytes_per_second) + "}" +
         (s.port_mapping_json.empty() ? "" : ",\"port_mapping\":" + s.port_mapping_json) +
         (s.page_token.empty() ? ""
                               : ",\"page\":{\"url\":" + JsonString(PageUrl(s.http_port)) +
                                     ",\"token\":" + JsonString(s.page_token) + "}") +
         (s.cost_json.empty() ? "" : ",\"cost\":" + s.cost_json) + "}\n";
}

std::string FormatStatusTable(const StatusSnapshot& s) {
  std::string out;
  const auto row = [&out](const char* name, const std::string& value) {
    char line[64];
    std::snprintf(line, sizeof(line), "%-16s ", name);
    out += line + value + "\n";
  };
  const int64_t uptime = s.now > s.start_time ? s.now - s.start_time : 0;
  row("daemon", "pid " + Number(s.process_id) + ", version " + s.version + ", up " +
                    Number(static_cast<uint64_t>(uptime)) + " s since " +
                    FormatUtcTime(s.start_time));
  row("image", s.image_path);
  row("game", std::string(s.game_running ? "running" : "not running") + "; upload cap " + s.cap);
  row("ports", "IPC " + std::to_string(s.ipc_port) + ", HTTP " + std::to_string(s.http_port));
  row("tracker", s.tracker_host + " (probe " + s.probe_host + ")");
  row("web report", OutcomeText(s.web_report));
  row("announcement", OutcomeText(s.announcement));
  row("catalogue", Number(s.entries) + " files, " + Bytes(s.total_bytes) + "; verified " +
                       Number(s.verified) + ", pending " + Number(s.pending) + ", failed " +
                       Number(s.failed) + (s.checking.empty() ? "" : "; checking " + s.checking));
  row("peers", std::to_string(s.connections) + " connected; " + Number(s.requests) +
                   " requests, " + Bytes(s.bytes) + " served (last 60 s: " +
                   Number(s.requests_60s) + ", " + Bytes(s.bytes_60s) + ")");
  if (!s.port_mapping_text.empty()) row("port mapping", s.port_mapping_text);
  for (const auto& cost : s.cost_rows) row(cost.first.c_str(), cost.second);
  if (!s.page_token.empty()) row("page", PageUrl(s.http_port));
  for (const StatusFileServed& file : s.top) {
    row("  served", file.md5 + "  " + Bytes(file.bytes) + "  " + file.path);
  }
  return out;
}
