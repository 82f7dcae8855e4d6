// What the engine is doing, as one snapshot, and its two renderings: JSON for
// programs and a short table for people. Portable: the engine fills the
// snapshot from counters kept where the work happens.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/json_text.h"
#include "runtime/status_figures.h"

// One shared file as the page lists it.
struct StatusSharedFile {
  std::string md5;  // upper case, as in `top`
  std::string path;  // UTF-8
  uint64_t size = 0;
  const char* state = "pending";  // "checked", "pending", "checking" or "failed"
  uint64_t bytes = 0;  // served since start
};

// Texts are UTF-8 (paths decoded from the catalogue's ANSI bytes by the view).
struct StatusSnapshot {
  // The daemon.
  std::string image_path;
  uint32_t process_id = 0;
  std::string version;
  int64_t start_time = 0;  // seconds since 1970, UTC
  int64_t now = 0;
  bool game_running = false;
  std::string cap;  // DescribeCap text
  uint32_t cap_kbps = 0;
  const char* upload_mode = "normal";  // "normal", "in_game" or "paused"
  // The engine.
  int32_t ipc_port = 0;
  int32_t http_port = 0;
  std::string tracker_host;  // host:port
  std::string probe_host;
  StatusOutcome web_report;
  StatusOutcome announcement;
  // The catalogue.
  uint64_t entries = 0;
  uint64_t total_bytes = 0;
  uint64_t verified = 0;
  uint64_t pending = 0;
  uint64_t failed = 0;  // entries deleted since start because their file did not match
  std::string checking;  // the MD5 text of the file being checked now, or empty
  std::vector<StatusSharedFile> files;  // at most kListedFiles, then the failed ones
  // Peers.
  int32_t connections = 0;
  uint64_t requests = 0;
  uint64_t bytes = 0;
  uint64_t requests_60s = 0;
  uint64_t bytes_60s = 0;
  std::vector<StatusFileServed> top;  // most served first
  std::vector<uint64_t> bytes_per_second;  // the last ten minutes, oldest first
  // The port mapping on the gateway, as its own JSON object and table text;
  // empty: not shown.
  std::string port_mapping_json;
  std::string port_mapping_text;
  // The status page's address and the token its actions carry; empty: none.
  std::string page_token;
  // The link's cost and the bytes to each kind of peer (status_cost.h); empty: not shown.
  std::string cost_json;
  std::vector<std::pair<std::string, std::string>> cost_rows;
};

constexpr size_t kListedFiles = 500;

// "2026-12-07T13:50:25Z".
std::string FormatUtcTime(int64_t seconds);

std::string FormatStatusJson(const StatusSnapshot& status);
std::string FormatStatusTable(const StatusSnapshot& status);
