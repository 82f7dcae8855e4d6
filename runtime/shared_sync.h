// Reference-counted lock and event records shared between threads.
//
// Either record may be reached by a thread that did not create it and may
// outlive its creator's interest in it: every holder takes its own reference
// and drops it when done, and the last drop frees the record. All operations
// are safe from any thread.
#pragma once

#include <windows.h>

#include "common/unique_any.h"

// A critical section that stays alive while anyone is inside it.
class SharedLock {
 public:
  // Returns a lock with one reference, owned by the caller.
  static SharedLock* Create();

  void AddRef();
  void DropRef();

  // Taking the lock adds a reference, so the record survives until Unlock.
  void Lock();
  void Unlock();

 private:
  SharedLock();
  ~SharedLock();
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

  volatile LONG m_refs = 1;
  CRITICAL_SECTION m_section;
};

// Holds a SharedLock for one scope.
class SharedLockGuard {
 public:
  explicit SharedLockGuard(SharedLock* lock) : m_lock(lock) { m_lock->Lock(); }
  ~SharedLockGuard() { m_lock->Unlock(); }
  SharedLockGuard(const SharedLockGuard&) = delete;
  SharedLockGuard& operator=(const SharedLockGuard&) = delete;

 private:
  SharedLock* m_lock;
};

// An unnamed manual-reset event, created not signalled. The handle is closed
// when the last reference goes, so a waiter that holds its own reference can
// never see the handle closed under it.
class SharedEvent {
 public:
  // Returns an event with one reference, owned by the caller. The handle is
  // null when the OS refused the event; waits on it then fail at once.
  static SharedEvent* Create();

  void AddRef();
  void DropRef();

  void Set();
  HANDLE handle() const { return m_event.get(); }

 private:
  SharedEvent();
  ~SharedEvent() = default;
  SharedEvent(const SharedEvent&) = delete;
  SharedEvent& operator=(const SharedEvent&) = delete;

  volatile LONG m_refs = 1;
  zrvd::unique_handle m_event;
};
