// CPxpThread: a framework thread with its own message queue, registered by
// name in the CPxpRuntime that made it.
//
// Ownership: without auto-delete, the holder of the IThread pointer owns the
// object and ends it with Release; the handler stays with its own owner. With
// auto-delete, Start hands the object and its handler over to the thread,
// which destroys both when the handler's Run returns, leaving the registry
// before it releases the handler; nobody may touch either after Start. Start, Stop, Wait, Suspend, Resume, Release, PostMsg and SendMsg
// are called from other threads; GetMsg and MessageLoop only from the thread
// itself.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "runtime/thread.h"

class CPxpRuntime;
class SharedEvent;
class SharedLock;

class CPxpThread : public IThread {
 public:
  CPxpThread(const char* name, CPxpRuntime* manager, IThreadHandler* handler, bool auto_delete,
             int32_t user_value);
  ~CPxpThread() override;
  CPxpThread(const CPxpThread&) = delete;
  CPxpThread& operator=(const CPxpThread&) = delete;

  // Stops and waits for a running thread, then unregisters and destroys the
  // object; the handler is not released.
  void Release() override;
  // Returns once the new thread's queue exists: 0, or -1 when the OS thread
  // could not be made (or this thread already runs). After a failed Start an
  // auto-delete thread has released its handler and destroyed itself, as if
  // its Run had returned, since its caller has already let go of it.
  int32_t Start() override;
  BOOL PostMsg(UINT message, WPARAM wparam, LPARAM lparam) override;
  // Returns -1 without waiting when the call cannot be posted, and when the
  // thread ends before taking it. Called on the thread itself, runs the
  // handler's OnMessage directly instead of waiting for itself.
  int32_t SendMsg(uint32_t a, uint32_t b, uint32_t c) override;
  BOOL GetMsg(MSG* msg) override;
  LPARAM MessageLoop() override;
  int32_t Suspend() override;
  int32_t Resume() override;
  int32_t Stop(bool wait) override;
  DWORD Wait(DWORD timeout_ms) override;
  int32_t Reserved() override;
  void SetStackReserve(uint32_t bytes) override { m_stackReserve = bytes; }

  // Registry key and log name. Read by the registry under its lock, changed
  // only through CPxpRuntime::SetThreadName.
  std::string& name() { return m_name; }
  uint32_t thread_id() const { return m_threadId.load(); }

 private:
  struct SyncCall;

  static DWORD WINAPI ThreadRoutine(void* parameter);
  // What the routine does once Run has returned on an auto-delete thread.
  void DeleteSelfWithHandler();
  // True when `call` is a SendMsg record still waiting; it is then ours to run.
  bool TakePendingCall(SyncCall* call);

  std::string m_name;
  CPxpRuntime* m_manager;
  IThreadHandler* m_handler;
  std::atomic<bool> m_autoDelete;
  int32_t m_userValue;
  uint32_t m_stackReserve = 0;  // 0: the process default
  std::atomic<uint32_t> m_threadId{0};
  zrvd::unique_handle m_thread;
  SharedEvent* m_ready;
  // Records of the SendMsg calls posted and not yet taken, under m_callsLock.
  SharedLock* m_callsLock;
  std::vector<SyncCall*> m_pendingCalls;
};

// The call Start makes the OS thread with. Tests replace it to reach the path
// where the OS refuses a thread; null restores CreateThread.
using ThreadCreateFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T,
                                             LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
void SetThreadCreateFunction(ThreadCreateFunction create);
