#include "runtime/shared_sync.h"

SharedLock* SharedLock::Create() { return new SharedLock(); }

SharedLock::SharedLock() { InitializeCriticalSection(&m_section); }

SharedLock::~SharedLock() { DeleteCriticalSection(&m_section); }

void SharedLock::AddRef() { InterlockedIncrement(&m_refs); }

void SharedLock::DropRef() {
  if (InterlockedDecrement(&m_refs) == 0) delete this;
}

void SharedLock::Lock() {
  AddRef();
  EnterCriticalSection(&m_section);
}

void SharedLock::Unlock() {
  LeaveCriticalSection(&m_section);
  DropRef();
}

SharedEvent* SharedEvent::Create() { return new SharedEvent(); }

SharedEvent::SharedEvent() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

void SharedEvent::AddRef() { InterlockedIncrement(&m_refs); }

void SharedEvent::DropRef() {
  if (InterlockedDecrement(&m_refs) == 0) delete this;
}

void SharedEvent::Set() { SetEvent(m_event.get()); }
