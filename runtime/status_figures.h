// What the subsystems record for the status report, which the engine
// composes into its snapshot. Portable.
#pragma once

#include <cstdint>
#include <string>

// The last run of something the engine does now and then; time 0: not yet.
struct StatusOutcome {
  int64_t time = 0;  // seconds since 1970, UTC
  std::string result;
};

struct StatusFileServed {
  std::string md5;
  std::string path;
  uint64_t bytes = 0;
};
