// A stand-in for the engine's thread manager in tests: runs each started
// handler on an OS thread of its own and, with auto-delete, releases the
// handler and frees the name when Run returns, as the engine's framework does.
// Names are unique among live threads; a test can make it refuse names.
//
// The manager must outlive every thread it started: tests keep one for the
// whole process (TestThreads()).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "runtime/thread.h"
#include "tests/win/inert_thread.h"

namespace zrvd_test {

class TestThreadManager;

class TestThread : public InertThread {
 public:
  TestThread(TestThreadManager* manager, IThreadHandler* handler, std::string name,
             bool auto_delete)
      : m_manager(manager), m_handler(handler), m_name(std::move(name)),
        m_autoDelete(auto_delete) {}
  int32_t Start() override;

 private:
  static DWORD WINAPI Main(void* self);

  TestThreadManager* m_manager;
  IThreadHandler* m_handler;
  std::string m_name;
  bool m_autoDelete;
};

class TestThreadManager : public IThreadManager {
 public:
  void Release() override {}
  IThread* NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                     int32_t) override {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_refuse && m_refuse(name)) return nullptr;
    if (!m_names.insert(name).second) return nullptr;
    return new TestThread(this, handler, name, auto_delete);
  }
  void Unregister(const std::string& name) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_names.erase(name);
  }
  // Names for which NewThread answers null; empty function: none.
  void RefuseNames(std::function<bool(const std::string&)> refuse) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_refuse = std::move(refuse);
  }
  // Threads whose Run has not returned yet.
  int Running() const { return m_running.load(); }
  bool WaitForRunning(int count, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (Running() != count) {
      if (GetTickCount() - start > timeout_ms) return false;
      Sleep(10);
    }
    return true;
  }

  std::atomic<int> m_running{0};

 private:
  std::mutex m_mutex;
  std::set<std::string> m_names;
  std::function<bool(const std::string&)> m_refuse;
};

inline int32_t TestThread::Start() {
  ++m_manager->m_running;
  HANDLE thread = CreateThread(nullptr, 0, &TestThread::Main, this, 0, nullptr);
  if (!thread) {
    --m_manager->m_running;
    return -1;
  }
  CloseHandle(thread);
  return 0;
}

inline DWORD WINAPI TestThread::Main(void* self) {
  auto* thread = static_cast<TestThread*>(self);
  TestThreadManager* manager = thread->m_manager;
  const int32_t result = thread->m_handler->Run();
  if (thread->m_autoDelete) {
    thread->m_handler->Release();
    manager->Unregister(thread->m_name);
    delete thread;
  }
  --manager->m_running;
  return static_cast<DWORD>(result);
}

// The process's one manager, installed as g_runtime by the caller.
inline TestThreadManager* TestThreads() {
  static TestThreadManager* manager = new TestThreadManager();
  return manager;
}

}  // namespace zrvd_test
