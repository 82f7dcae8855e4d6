// Where a crash dump goes, what it is called and which older ones go, apart
// from the OS so that the rules are tested without a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/log_format.h"

// How many dumps a folder keeps: a few recent crashes are what a studio reads;
// more would only fill a player's disk when something crashes at every start.
constexpr size_t kCrashDumpsKept = 3;

// Every dump's name starts so; the pruning touches no file without it.
constexpr char kCrashDumpPrefix[] = "zrvd-crash-";

// The log's time fields, in UTC here, so that names sort by time across
// daylight-saving changes.
using DumpTime = LogStamp;

struct DumpFolder {
  bool on = false;
  std::string path;  // empty or ending in a separator; empty is the current folder
};

// From the log setting: no dumps when logging is off ("null", empty); beside
// the log file otherwise; `temp_folder` for "stdout", which has no folder.
DumpFolder CrashDumpFolder(const std::string& log_setting, const std::string& temp_folder);

// "zrvd-crash-YYYYMMDD-hhmmss-mmm-<pid>.dmp": fixed-width time first, so the
// names sort in the order the crashes happened.
std::string CrashDumpName(const DumpTime& utc, uint32_t pid);

// The same name after the `length` bytes already in `out` (a folder), NUL
// ended. Touches no heap and calls no C library formatting, for a crashed
// process whose heap lock may be held. False, with `out` unchanged past
// `length`, when it does not fit in `size`.
bool AppendCrashDumpName(char* out, size_t size, size_t length, const DumpTime& utc, uint32_t pid);

// The dumps to delete so that the newest `keep` stay, oldest first. Names not
// made by CrashDumpName are neither counted nor deleted.
std::vector<std::string> DumpsToRemove(std::vector<std::string> names, size_t keep);

// Who holds the loader lock, as the dump thread finds it when it cannot take it.
enum class LoaderLockHolder { kNobody, kCrashedThread, kOtherThread, kUnknown };
enum class DumpWriter { kDumpThread, kCrashedThread, kAskAgain };

// Any other thread that starts or ends holds the loader lock a moment, and the
// crashed thread may have no stack left to write a dump with: it writes only
// when it holds the lock itself. Another holder is asked about again for this
// long; then the dump thread goes on (the crashed thread would wait as long),
// unless the holder could not be told, when the crashed thread may be it.
constexpr uint32_t kLoaderLockRetryMs = 1000;
DumpWriter LoaderLockWriter(LoaderLockHolder holder, uint32_t asked_for_ms);
