// Where the tracker simulator that runs these tests listens, from the
// environment its runner sets (tools/tracker_sim.py -- <test>).
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zrvd_test {

// "127.0.0.1:port", or empty text when the tests were started without it.
inline std::string TrackerSimAddress() {
  const char* value = std::getenv("ZRVD_TRACKER_SIM");
  return value ? value : "";
}

// Everything the simulator has recorded so far (JSON lines).
inline std::string TrackerSimRecord() {
  const char* path = std::getenv("ZRVD_TRACKER_SIM_RECORD");
  if (!path) return "";
  // A Unix path reaches the Linux side through Wine's Z: drive.
  std::ifstream file(std::string("Z:") + path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace zrvd_test
