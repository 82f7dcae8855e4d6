#include "runtime/runtime.h"

#include <cstring>

#include "runtime/log_format.h"
#include "runtime/pxp_thread.h"
#include "runtime/shared_sync.h"

CPxpRuntime::CPxpRuntime(const char* log_path, uint64_t log_limit_bytes)
    : m_registryLock(SharedLock::Create()),
      m_outputLock(SharedLock::Create()),
      m_output(log_path, log_limit_bytes),
      m_tlsIndex(TlsAlloc()) {}

CPxpRuntime::~CPxpRuntime() {
  if (m_tlsIndex != TLS_OUT_OF_INDEXES) TlsFree(m_tlsIndex);
  m_threads.clear();
  m_outputLock->DropRef();
  m_registryLock->DropRef();
}

void CPxpRuntime::Release() { delete this; }

IThread* CPxpRuntime::NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                                int32_t user_value) {
  if (handler == nullptr || name == nullptr) return nullptr;
  SharedLockGuard guard(m_registryLock);
  if (m_threads.count(name) != 0) return nullptr;
  auto* thread = new CPxpThread(name, this, handler, auto_delete, user_value);
  m_threads.emplace(thread->name(), thread);
  return thread;
}

void CPxpRuntime::Unregister(CPxpThread* thread) {
  SharedLockGuard guard(m_registryLock);
  auto it = m_threads.find(thread->name());
  if (it != m_threads.end() && it->second == thread) m_threads.erase(it);
}

CPxpThread* CPxpRuntime::FindThread(uint32_t thread_id) {
  SharedLockGuard guard(m_registryLock);
  for (const auto& entry : m_threads) {
    if (entry.second->thread_id() == thread_id) return entry.second;
  }
  return nullptr;
}

void CPxpRuntime::SetThreadName(const char* name) {
  // Only the thread routine fills the slot, so a thread that is not a running
  // framework thread finds it empty, whatever its identifier.
  auto* self = static_cast<CPxpThread*>(TlsGetValue(m_tlsIndex));
  if (self == nullptr || name == nullptr) return;
  SharedLockGuard guard(m_registryLock);
  if (self->name() == name) return;
  if (m_threads.count(name) != 0) return;
  // Re-keyed with the name, so that Unregister still finds the entry.
  auto it = m_threads.find(self->name());
  const bool registered = it != m_threads.end() && it->second == self;
  if (registered) m_threads.erase(it);
  self->name() = name;
  if (registered) m_threads.emplace(self->name(), self);
}

size_t CPxpRuntime::RegisteredThreadCount() {
  SharedLockGuard guard(m_registryLock);
  return m_threads.size();
}

void CPxpRuntime::Write(const char* module, int32_t /*level*/, const char* message) {
  if (!m_output.on()) return;
  if (module == nullptr) module = "";
  if (message == nullptr) message = "";

  // The slot holds the caller's own thread object, which only the caller
  // renames or destroys: its name can be read without the registry lock.
  auto* self = static_cast<CPxpThread*>(TlsGetValue(m_tlsIndex));
  std::string fallback;
  const char* thread_name;
  if (self != nullptr) {
    thread_name = self->name().c_str();
  } else {
    fallback = FallbackThreadName(GetCurrentThreadId());
    thread_name = fallback.c_str();
  }

  SYSTEMTIME now;
  GetLocalTime(&now);
  const LogStamp stamp = {now.wYear, now.wMonth, now.wDay, now.wHour,
                          now.wMinute, now.wSecond, now.wMilliseconds};
  char line[kLogLineBufferSize];
  size_t length = FormatLogLine(line, sizeof(line), stamp, module, thread_name, message);

  // The file may be switched inside this lock: between two whole lines.
  SharedLockGuard guard(m_outputLock);
  m_output.Write(line, length, stamp, module, thread_name);
}
