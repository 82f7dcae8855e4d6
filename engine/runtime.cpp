#include "engine/runtime.h"

#include <cstring>

#include "engine/log_format.h"
#include "engine/pxp_thread.h"
#include "engine/shared_sync.h"

CPxpRuntime::CPxpRuntime(const char* log_path)
    : m_registryLock(SharedLock::Create()),
      m_outputLock(SharedLock::Create()),
      m_tlsIndex(TlsAlloc()) {
  OpenOutput(log_path);
}

CPxpRuntime::~CPxpRuntime() {
  m_ownedOutput.reset();
  m_output = INVALID_HANDLE_VALUE;
  if (m_tlsIndex != TLS_OUT_OF_INDEXES) TlsFree(m_tlsIndex);
  m_threads.clear();
  m_outputLock->DropRef();
  m_registryLock->DropRef();
}

void CPxpRuntime::OpenOutput(const char* log_path) {
  if (log_path == nullptr || strcmp(log_path, "null") == 0) return;
  if (strcmp(log_path, "stdout") == 0) {
    AllocConsole();
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    // No console at all reads as null: treat it as logging off.
    if (console != nullptr) m_output = console;
    return;
  }
  zrvd::unique_hfile existing(
      CreateFileA(log_path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (existing) {
    existing.reset();
    std::string backup = std::string(log_path) + ".bak";
    MoveFileExA(log_path, backup.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  m_ownedOutput.reset(CreateFileA(log_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  // After a failed rename the old log is still here: write after it rather
  // than over its start, which would leave a torn tail of old lines behind.
  if (m_ownedOutput) SetFilePointer(m_ownedOutput.get(), 0, nullptr, FILE_END);
  m_output = m_ownedOutput.get();
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
  if (m_output == INVALID_HANDLE_VALUE) return;
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

  SharedLockGuard guard(m_outputLock);
  DWORD written = 0;
  WriteFile(m_output, line, static_cast<DWORD>(length), &written, nullptr);
}
