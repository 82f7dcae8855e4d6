// Where the engine's log lines go: nowhere, a console, or a file. A file is set
// aside as "<name>.bak" at start and again whenever a line would carry it past
// its size limit; a console is never switched.
//
// Not thread-safe: the runtime calls Write under its output lock, so that a
// switch of files falls between two whole lines whatever thread writes them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/unique_any.h"
#include "runtime/log_bound.h"
#include "runtime/log_format.h"

class LogOutput {
 public:
  // `path` is "null" or null (nothing), "stdout" (a console) or a file path.
  // `limit_bytes` bounds a file; 0 lets it grow. Any failure at start turns
  // logging off silently.
  LogOutput(const char* path, uint64_t limit_bytes);
  LogOutput(const LogOutput&) = delete;
  LogOutput& operator=(const LogOutput&) = delete;

  // Fixed at construction, so that it can be read without the lock.
  bool on() const { return m_on; }

  // Writes one formatted line. When the line would carry the file past its
  // limit, the file is switched first, and a line with `stamp` and
  // `thread_name` says so in the new file, or in the old one when the switch
  // failed; a failed switch is tried again after more lines.
  void Write(const char* line, size_t length, const LogStamp& stamp, const char* module,
             const char* thread_name);

 private:
  // The start-up sequence: an existing file becomes ".bak", then the path is
  // opened for writing at its end. Returns whether a new, empty log was opened;
  // m_lastError tells why not. `renamed`, if given, tells whether the rename
  // took place.
  bool OpenFile(bool* renamed = nullptr);
  // Opens `path` for appending and reads its size; false, keeping the OS error
  // in m_lastError, when it cannot be opened.
  bool OpenAtEnd(const std::string& path, DWORD disposition, uint64_t* size);
  void Switch(const LogStamp& stamp, const char* module, const char* thread_name);
  void Emit(const char* bytes, size_t length);

  bool m_on = false;
  std::string m_path;  // empty unless the output is our own file
  std::string m_backup;
  bool m_inBackup = false;  // a failed switch left the lines going on in m_backup
  LogBound m_bound;
  HANDLE m_output = INVALID_HANDLE_VALUE;
  // Holds m_output when it is our own file; a console's handle is only borrowed.
  zrvd::unique_hfile m_ownedOutput;
  DWORD m_lastError = 0;
};
