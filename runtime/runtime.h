// The engine's runtime object: the thread registry behind IThreadManager and
// the log behind ILog.
//
// The engine makes one at start and keeps it for the life of the process. All
// public operations are safe from any thread. The registry maps names to
// threads without owning them: a thread unregisters itself before it dies.
// Destroying the runtime while framework threads still exist is not allowed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "common/unique_any.h"
#include "runtime/log.h"
#include "runtime/log_output.h"
#include "runtime/thread.h"

class CPxpThread;
class SharedLock;

class CPxpRuntime : public IThreadManager, public ILog {
 public:
  // `log_path` is "null" or null (no log), "stdout" (a console), or a file path; an
  // existing file is first renamed to `log_path` + ".bak", and so is the log
  // whenever a line would carry it past `log_limit_bytes` (0: no limit). Any
  // failure at start turns logging off silently.
  explicit CPxpRuntime(const char* log_path, uint64_t log_limit_bytes = 0);
  ~CPxpRuntime() override;
  CPxpRuntime(const CPxpRuntime&) = delete;
  CPxpRuntime& operator=(const CPxpRuntime&) = delete;

  // Releases through either interface destroy the one object.
  void Release() override;

  // Whether lines go anywhere; fixed at construction.
  bool LogOn() const { return m_output.on(); }

  // Null, creating nothing, for a name already registered or a null handler
  // or name; the caller keeps `handler` then.
  IThread* NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                     int32_t user_value) override;

  // Appends one line. The level is neither written nor used to filter.
  void Write(const char* module, int32_t level, const char* message) override;

  // Renames the calling thread if it is a running framework thread; no effect
  // on other threads, or when another registered thread holds `name` already
  // (names stay unique). The registry entry moves with the name.
  void SetThreadName(const char* name);

  // The registered thread whose OS thread has this identifier, or null. The
  // pointer is only safe to use while that thread cannot be destroyed, as on
  // the thread itself.
  CPxpThread* FindThread(uint32_t thread_id);

  // Removes `thread`'s entry; an entry under its name that belongs to another
  // thread is left alone.
  void Unregister(CPxpThread* thread);

  // Number of registered threads.
  size_t RegisteredThreadCount();

  // The TLS slot in which each framework thread keeps its own CPxpThread while
  // its routine runs.
  DWORD tls_index() const { return m_tlsIndex; }

 private:
  SharedLock* m_registryLock;
  SharedLock* m_outputLock;
  std::map<std::string, CPxpThread*> m_threads;
  LogOutput m_output;  // guarded by m_outputLock
  DWORD m_tlsIndex;
};
