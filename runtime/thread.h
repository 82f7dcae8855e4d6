// The engine's thread framework interfaces.
//
// A component implements IThreadHandler, asks the engine's IThreadManager
// (g_runtime) for a thread under a unique name, and starts it. With auto-delete
// on, the started thread owns itself and its handler: nobody may touch either
// after Start, and both are destroyed when the handler's Run returns.
#pragma once

#include <windows.h>

#include <cstdint>

// Message numbers the framework uses on a thread's queue.
constexpr UINT kMsgThreadStarted = WM_USER;  // posted by every new thread to itself
constexpr UINT kMsgSyncCall = 0x900;         // SendMsg's synchronous call record

class IThreadHandler {
 public:
  virtual void Release() = 0;
  // The thread's main function; its result is the thread's exit code.
  virtual int32_t Run() = 0;
  virtual int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) = 0;
  virtual ~IThreadHandler() = default;
};

class IThread {
 public:
  virtual void Release() { delete this; }
  virtual int32_t Start() = 0;
  virtual BOOL PostMsg(UINT message, WPARAM wparam, LPARAM lparam) = 0;
  // Runs the handler's OnMessage(a, b, c) on the thread itself and returns its
  // result; blocks until the thread has taken the call in GetMsg.
  virtual int32_t SendMsg(uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual BOOL GetMsg(MSG* msg) = 0;
  virtual LPARAM MessageLoop() = 0;
  virtual int32_t Suspend() = 0;
  virtual int32_t Resume() = 0;
  virtual int32_t Stop(bool wait) = 0;
  virtual DWORD Wait(DWORD timeout_ms) = 0;
  virtual int32_t Reserved() = 0;
  // Address space to reserve for the stack of a thread not yet started, instead
  // of the process default: threads that exist by the thousand (one per peer
  // connection) must fit a 32-bit process. Call before Start. A thread that does
  // not support it keeps the default.
  virtual void SetStackReserve(uint32_t bytes) { (void)bytes; }
  virtual ~IThread() = default;
};

class IThreadManager {
 public:
  virtual void Release() = 0;
  // Creates and registers a thread; does not start it. Null when `name` is
  // already registered: the caller still owns `handler` then.
  virtual IThread* NewThread(IThreadHandler* handler, const char* name, bool auto_delete,
                             int32_t user_value) = 0;
  virtual ~IThreadManager() = default;
};
