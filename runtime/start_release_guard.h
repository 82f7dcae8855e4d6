// Starting the auto-delete thread of a handler that its owner keeps until the
// thread runs (the engine's servers, which report a failed start to the
// engine start).
//
// A thread that cannot be started releases its handler at once, inside Start,
// while the owner still holds it; and a thread that starts can finish and
// release its handler before Start has returned. The handler's Release asks
// Defer first and returns without destroying itself when told to; Start then
// settles who destroys the handler.
#pragma once

#include <atomic>

#include "runtime/thread.h"

class StartReleaseGuard {
 public:
  // Called by the handler's Release: true when the release must wait for
  // Start, which then knows of it.
  bool Defer() {
    int expected = kStarting;
    return m_state.compare_exchange_strong(expected, kDeferred);
  }

  // Starts `thread`, whose handler is `handler`. True when the thread runs: it
  // owns the handler from then on (the handler may already be gone). False when
  // it could not start: the caller still owns the handler.
  bool Start(IThread* thread, IThreadHandler* handler) {
    m_state = kStarting;
    const bool started = thread->Start() == 0;
    // Read before anything else: a deferred handler is ours to finish.
    const bool deferred = m_state.exchange(kIdle) == kDeferred;
    if (started && deferred) handler->Release();
    return started;
  }

 private:
  enum { kIdle, kStarting, kDeferred };
  std::atomic<int> m_state{kIdle};
};
