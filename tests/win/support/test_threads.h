// A stand-in for the engine's thread manager in tests: runs each started
// handler on an OS thread of its own and, with auto-delete, releases the
// handler and frees the name when Run returns, as the engine's framework does.
// Names are unique among live threads; a test can make it refuse names, or
// hold every thread unstarted to see what the code asked for.
//
// The manager must outlive every thread it started.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "runtime/thread.h"

namespace zrvd_test {

// Every slot but Start does nothing: the code under test never posts to,
// suspends or waits for these threads.
class InertThread : public IThread {
 public:
  BOOL PostMsg(UINT, WPARAM, LPARAM) override { return FALSE; }
  int32_t SendMsg(uint32_t, uint32_t, uint32_t) override { return 0; }
  BOOL GetMsg(MSG*) override { return FALSE; }
  LPARAM MessageLoop() override { return 0; }
  int32_t Suspend() override { return 0; }
  int32_t Resume() override { return 0; }
  int32_t Stop(bool) override { return 0; }
  DWORD Wait(DWORD) override { return 0; }
  int32_t Reserved() override { return 0; }
};

// One NewThread call, as the manager saw it.
struct ThreadRequest {
  std::string name;
  IThreadHandler* handler;
  bool auto_delete;
  int32_t user_value;
};

class TestThreadManager : public IThreadManager {
 public:
  enum class Mode {
    kRun,   // Start runs the handler
    kHold,  // Start is only counted; the manager keeps the threads
  };
  explicit TestThreadManager(Mode mode = Mode::kRun) : m_mode(mode) {}
  ~TestThreadManager() override = default;

  void Release() override {}
  IThread* NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                     int32_t user_value) override;

  // Names for which NewThread answers null; empty function: none.
  void RefuseNames(std::function<bool(const std::string&)> refuse);
  // The next `count` names beginning with `prefix` are refused.
  void RefuseNext(const std::string& prefix, int count);
  bool IsRegistered(const std::string& name);
  void Unregister(const std::string& name);

  std::vector<ThreadRequest> Requests();
  int Starts() const { return m_starts.load(); }
  // The stack reserve the last started thread asked for; 0: the default.
  uint32_t LastStackReserve() const { return m_lastStackReserve.load(); }
  // Threads whose Run has not returned yet.
  int Running() const { return m_running.load(); }
  bool WaitForRunning(int count, DWORD timeout_ms);

 private:
  friend class TestThread;

  const Mode m_mode;
  std::mutex m_mutex;
  std::set<std::string> m_names;
  std::function<bool(const std::string&)> m_refuse;
  std::vector<ThreadRequest> m_requests;
  std::vector<std::unique_ptr<IThread>> m_held;
  std::atomic<int> m_starts{0};
  std::atomic<int> m_running{0};
  std::atomic<uint32_t> m_lastStackReserve{0};
};

// The process's one manager, for tests whose threads outlive a test; installed
// as g_runtime by the caller.
TestThreadManager* TestThreads();

}  // namespace zrvd_test
