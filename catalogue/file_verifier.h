// Checks each shared file's content against the MD5 text it is shared under,
// one file at a time on its own low-priority "FileCheck" thread: after every
// share, once at start for the entries not yet checked, and for every entry
// when asked. A match is recorded on the entry ("Verified" = 1); a mismatch
// deletes the entry, so the file is no longer offered under that MD5 text.
//
// Reads are paced ("VerifyReadMBps" in the engine key, read per file; absent:
// 32, 0: no pacing) and stop while the game runs. A file is open only while it
// is read, never across those waits, and shares delete, rename and writes.
// "VerifyFiles" = 0 switches the checks off (entries then stay pending), read
// at each pass and each file.
// Entries written by other programs are found by a pass every ten minutes.
// All functions are safe from any thread; before StartFileVerifier they do nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class IThreadManager;

// Starts the thread once; `game_running` is asked between reads and must be
// safe from any thread. `manager` must outlive the process's use of the checks.
// A thread the system refuses is logged and tried again at the next request.
void StartFileVerifier(IThreadManager* manager, bool (*game_running)());

// Asks for a pass over the entries not yet verified (`all`: over every entry);
// starts the thread first when an earlier start failed.
void RequestFileCheck(bool all);

// An entry deleted because its file did not match.
struct FailedFile {
  std::string md5;
  std::string path;
  uint32_t length = 0;
};

struct FileCheckFigures {
  uint64_t failed = 0;  // entries deleted since start for a mismatch
  std::string checking;  // MD5 text of the file being read now, or empty
  std::vector<FailedFile> recent;  // the last kRecentFailed of them, oldest first
};
constexpr size_t kRecentFailed = 20;
FileCheckFigures ReadFileCheckFigures();

constexpr uint32_t kDefaultVerifyReadMBps = 32;
