// The local IPC service: a listener on 127.0.0.1 whose "p4pipc" thread accepts
// clients, and one "IPCSerive %x" thread per client that reads its four-line
// request and runs the share command. Nothing is ever sent back; closing the
// connection tells the client that the engine is done.
#pragma once

#include <cstdint>
#include <memory>

#include "ipc/pxp_socket.h"
#include "runtime/start_release_guard.h"
#include "runtime/thread.h"

// Bounds on one client: its request must come within this many bytes and
// this many milliseconds, or the connection is dropped with a log line.
constexpr size_t kMaxIpcRequestBytes = 64 * 1024;
constexpr uint32_t kIpcRequestTimeoutMs = 30 * 1000;

class IPCServer : public IThreadHandler {
 public:
  // Makes the listening socket (127.0.0.1, the system's largest backlog,
  // blocking) on `port`, or
  // on a port the system chooses when that one cannot be bound. Throws the
  // socket wrapper's "INVALID_SOCKET" when no port can be bound. Each client
  // gets `request_timeout_ms` to send its request.
  explicit IPCServer(int port, uint32_t request_timeout_ms = kIpcRequestTimeoutMs);
  ~IPCServer() override;

  // Starts the "p4pipc" thread on g_runtime. On success the thread owns this
  // object and deletes it when the accept loop ends, so the caller must not
  // touch it afterwards; on failure (no runtime, name taken, no OS thread) the
  // caller still owns it.
  bool Start();

  // The bound port, host order.
  int32_t GetPort() const { return m_port; }

  void Release() override;
  int32_t Run() override;  // the accept loop
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  // Gives `connection` to a new IPCService on its own thread, or closes it.
  void HandOver(CPxpSocket* connection);

  std::unique_ptr<CPxpListenSocket> m_listener;
  int32_t m_port = 0;
  uint32_t m_requestTimeoutMs;
  StartReleaseGuard m_startGuard;
};

class IPCService : public IThreadHandler {
 public:
  // Owns `connection` and closes it when destroyed.
  IPCService(CPxpSocket* connection, uint32_t request_timeout_ms);
  ~IPCService() override;

  void Release() override;
  int32_t Run() override;  // reads one request and shares its file
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  std::unique_ptr<CPxpSocket> m_connection;
  uint32_t m_requestTimeoutMs;
};
