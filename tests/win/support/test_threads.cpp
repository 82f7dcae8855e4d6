#include "tests/win/support/test_threads.h"

namespace zrvd_test {

class TestThread : public InertThread {
 public:
  TestThread(TestThreadManager* manager, IThreadHandler* handler, std::string name,
             bool auto_delete)
      : m_manager(manager), m_handler(handler), m_name(std::move(name)),
        m_autoDelete(auto_delete) {}

  int32_t Start() override {
    ++m_manager->m_starts;
    m_manager->m_lastStackReserve = m_stackReserve;
    if (m_manager->m_mode == TestThreadManager::Mode::kHold) return 0;
    ++m_manager->m_running;
    const DWORD flags = m_stackReserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    // With auto-delete the thread may finish and delete this object at once.
    HANDLE thread = CreateThread(nullptr, m_stackReserve, &Main, this, flags, nullptr);
    if (thread == nullptr) {
      --m_manager->m_running;
      return -1;
    }
    CloseHandle(thread);
    return 0;
  }
  void SetStackReserve(uint32_t bytes) override { m_stackReserve = bytes; }

 private:
  static DWORD WINAPI Main(void* parameter) {
    auto* self = static_cast<TestThread*>(parameter);
    TestThreadManager* manager = self->m_manager;
    const int32_t result = self->m_handler->Run();
    if (self->m_autoDelete) {
      self->m_handler->Release();
      manager->Unregister(self->m_name);
      delete self;
    }
    --manager->m_running;
    return static_cast<DWORD>(result);
  }

  TestThreadManager* m_manager;
  IThreadHandler* m_handler;
  std::string m_name;
  bool m_autoDelete;
  uint32_t m_stackReserve = 0;
};

IThread* TestThreadManager::NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                                      int32_t user_value) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_requests.push_back({name, handler, auto_delete, user_value});
  if (m_refuse && m_refuse(name)) return nullptr;
  if (!m_names.insert(name).second) return nullptr;
  auto* thread = new TestThread(this, handler, name, auto_delete);
  if (m_mode == Mode::kHold) m_held.emplace_back(thread);
  return thread;
}

void TestThreadManager::RefuseNames(std::function<bool(const std::string&)> refuse) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_refuse = std::move(refuse);
}

void TestThreadManager::RefuseNext(const std::string& prefix, int count) {
  // Called under m_mutex by NewThread, so the count needs no lock of its own.
  RefuseNames([prefix, count](const std::string& name) mutable {
    if (count == 0 || name.compare(0, prefix.size(), prefix) != 0) return false;
    --count;
    return true;
  });
}

bool TestThreadManager::IsRegistered(const std::string& name) {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_names.count(name) != 0;
}

void TestThreadManager::Unregister(const std::string& name) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_names.erase(name);
}

std::vector<ThreadRequest> TestThreadManager::Requests() {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_requests;
}

bool TestThreadManager::WaitForRunning(int count, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (Running() != count) {
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(10);
  }
  return true;
}

TestThreadManager* TestThreads() {
  static TestThreadManager* manager = new TestThreadManager();
  return manager;
}

}  // namespace zrvd_test
