#include "runtime/pxp_thread.h"

#include <algorithm>

#include "runtime/log.h"
#include "runtime/runtime.h"
#include "runtime/shared_sync.h"

namespace {

// 启动线程主函数。
constexpr char kMsgThreadStart[] =
    "\xC6\xF4\xB6\xAF\xCF\xDF\xB3\xCC\xD6\xF7\xBA\xAF\xCA\xFD\xA1\xA3";
// 线程主函数结束。
constexpr char kMsgThreadEnd[] =
    "\xCF\xDF\xB3\xCC\xD6\xF7\xBA\xAF\xCA\xFD\xBD\xE1\xCA\xF8\xA1\xA3";
// 自动删除IThread和IThreadHandler。
constexpr char kMsgAutoDelete[] =
    "\xD7\xD4\xB6\xAF\xC9\xBE\xB3\xFD" "IThread" "\xBA\xCD" "IThreadHandler" "\xA1\xA3";
// 删除一个CPxpThread
constexpr char kMsgDeleteThread[] = "\xC9\xBE\xB3\xFD\xD2\xBB\xB8\xF6" "CPxpThread";

std::atomic<ThreadCreateFunction> g_createThread{nullptr};

}  // namespace

// A synchronous call, on the stack of the thread that waits in SendMsg.
struct CPxpThread::SyncCall {
  SharedEvent* done;
  int32_t result;
  uint32_t a;
  uint32_t b;
  uint32_t c;
};

void SetThreadCreateFunction(ThreadCreateFunction create) { g_createThread = create; }

CPxpThread::CPxpThread(const char* name, CPxpRuntime* manager, IThreadHandler* handler,
                       bool auto_delete, int32_t user_value)
    : m_name(name),
      m_manager(manager),
      m_handler(handler),
      m_autoDelete(auto_delete),
      m_userValue(user_value),
      m_ready(SharedEvent::Create()),
      m_callsLock(SharedLock::Create()) {}

CPxpThread::~CPxpThread() {
  m_ready->DropRef();
  // A Start that wrongly kept using this object would fail loudly here.
  m_ready = nullptr;
  m_callsLock->DropRef();
}

void CPxpThread::Release() {
  if (m_threadId.load() != 0) {
    // The routine must not delete the object while we do.
    m_autoDelete = false;
    Stop(true);
  }
  LogInfo("%s", kMsgDeleteThread);
  m_manager->Unregister(this);
  delete this;
}

int32_t CPxpThread::Start() {
  if (m_threadId.load() != 0) return -1;
  SharedEvent* ready = m_ready;
  ready->AddRef();
  ThreadCreateFunction create = g_createThread.load();
  if (create == nullptr) create = &CreateThread;
  DWORD id = 0;
  // Suspended, so that the identifier and handle are in the object before
  // the routine posts to itself or closes the handle.
  const DWORD reserve_flag = m_stackReserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
  HANDLE thread =
      create(nullptr, m_stackReserve, &ThreadRoutine, this, CREATE_SUSPENDED | reserve_flag, &id);
  if (thread == nullptr) {
    ready->DropRef();
    LogMessage(kLogNormal, "CreateThread failed for %s: %lu", m_name.c_str(),
               static_cast<unsigned long>(GetLastError()));
    // An auto-delete caller has already let go of this object and its handler.
    if (m_autoDelete.load()) DeleteSelfWithHandler();
    return -1;
  }
  m_threadId = id;
  m_thread.reset(thread);
  ResumeThread(thread);
  // From here an auto-delete thread may finish and destroy this object:
  // only `ready`, our own reference, may be touched.
  WaitForSingleObject(ready->handle(), INFINITE);
  ready->DropRef();
  return 0;
}

DWORD WINAPI CPxpThread::ThreadRoutine(void* parameter) {
  auto* self = static_cast<CPxpThread*>(parameter);
  const DWORD tls_index = self->m_manager->tls_index();
  TlsSetValue(tls_index, self);

  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  self->PostMsg(kMsgThreadStarted, 0, 0);
  self->m_ready->Set();

  LogMessage(kLogNormal, "%s", kMsgThreadStart);
  const int32_t result = self->m_handler->Run();
  LogMessage(kLogNormal, "%s", kMsgThreadEnd);
  // Without auto-delete the owner may destroy the object once this thread
  // ends: it is not touched after this test.
  if (self->m_autoDelete.load()) self->DeleteSelfWithHandler();
  TlsSetValue(tls_index, nullptr);
  return static_cast<DWORD>(result);
}

void CPxpThread::DeleteSelfWithHandler() {
  LogMessage(kLogNormal, "%s", kMsgAutoDelete);
  // Unregistered before the handler goes: names are often made from handler
  // addresses, and a new handler at the freed address must find its name free.
  m_manager->Unregister(this);
  m_handler->Release();
  m_thread.reset();
  delete this;
}

BOOL CPxpThread::PostMsg(UINT message, WPARAM wparam, LPARAM lparam) {
  const DWORD id = m_threadId.load();
  // Some systems take identifier 0 for the calling thread: a thread that does
  // not run has no queue to post to.
  if (id == 0) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return PostThreadMessageA(id, message, wparam, lparam);
}

int32_t CPxpThread::SendMsg(uint32_t a, uint32_t b, uint32_t c) {
  // Waiting for our own GetMsg would never end.
  if (m_threadId.load() == GetCurrentThreadId()) return m_handler->OnMessage(a, b, c);

  SyncCall call = {SharedEvent::Create(), -1, a, b, c};
  {
    SharedLockGuard guard(m_callsLock);
    m_pendingCalls.push_back(&call);
  }
  int32_t result = -1;
  if (PostMsg(kMsgSyncCall, 0, reinterpret_cast<LPARAM>(&call))) {
    // A thread that ends without taking the call must not hold us for ever.
    HANDLE waits[2] = {call.done->handle(), m_thread.get()};
    const DWORD count = waits[1] != nullptr ? 2 : 1;
    if (WaitForMultipleObjects(count, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
      result = call.result;
    }
  }
  {
    SharedLockGuard guard(m_callsLock);
    auto it = std::find(m_pendingCalls.begin(), m_pendingCalls.end(), &call);
    if (it != m_pendingCalls.end()) m_pendingCalls.erase(it);
  }
  call.done->DropRef();
  return result;
}

bool CPxpThread::TakePendingCall(SyncCall* call) {
  SharedLockGuard guard(m_callsLock);
  auto it = std::find(m_pendingCalls.begin(), m_pendingCalls.end(), call);
  if (it == m_pendingCalls.end()) return false;
  m_pendingCalls.erase(it);
  return true;
}

BOOL CPxpThread::GetMsg(MSG* msg) {
  for (;;) {
    const BOOL got = GetMessageA(msg, nullptr, 0, 0);
    if (got == 0) return 0;
    if (got == -1 || msg->message != kMsgSyncCall) return got;
    // Any process on the desktop can post to this queue: only a record that
    // one of our own SendMsg calls is waiting on is trusted.
    auto* call = reinterpret_cast<SyncCall*>(msg->lParam);
    if (!TakePendingCall(call)) continue;
    call->result = m_handler->OnMessage(call->a, call->b, call->c);
    // The caller frees the record once the event is set; its event lives on
    // through our own reference.
    SharedEvent* done = call->done;
    done->AddRef();
    done->Set();
    done->DropRef();
  }
}

LPARAM CPxpThread::MessageLoop() {
  MSG msg = {};
  while (GetMsg(&msg) > 0) m_handler->OnMessage(msg.message, msg.wParam, msg.lParam);
  return msg.lParam;
}

int32_t CPxpThread::Suspend() {
  return SuspendThread(m_thread.get()) == static_cast<DWORD>(-1) ? -1 : 0;
}

int32_t CPxpThread::Resume() {
  return ResumeThread(m_thread.get()) == static_cast<DWORD>(-1) ? -1 : 0;
}

int32_t CPxpThread::Stop(bool wait) {
  const DWORD id = m_threadId.load();
  if (id == 0) return 0;
  PostThreadMessageA(id, WM_QUIT, 0, 0);
  // A thread stopping itself cannot wait for its own end.
  if (!wait || id == GetCurrentThreadId()) return 0;
  Wait(INFINITE);
  m_thread.reset();
  m_threadId = 0;
  return 0;
}

DWORD CPxpThread::Wait(DWORD timeout_ms) { return WaitForSingleObject(m_thread.get(), timeout_ms); }

int32_t CPxpThread::Reserved() { return 0; }
