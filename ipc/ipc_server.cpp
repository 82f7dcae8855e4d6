#include "ipc/ipc_server.h"

#include <windows.h>

#include <string>

#include "ipc/accept_error.h"
#include "ipc/ipc_request.h"
#include "ipc/share_file.h"
#include "ipc/thread_name.h"
#include "runtime/globals.h"
#include "runtime/log.h"

namespace {

// IPC Service启动
constexpr char kMsgServiceStarted[] = "IPC Service\xC6\xF4\xB6\xAF";
// 侦听端口: %d
constexpr char kMsgListening[] = "\xD5\xEC\xCC\xFD\xB6\xCB\xBF\xDA: %d";
// 进入IPC请求循环!
constexpr char kMsgEnteringLoop[] = "\xBD\xF8\xC8\xEBIPC\xC7\xEB\xC7\xF3\xD1\xAD\xBB\xB7!";
// 接受到一个新的IPC请求!
constexpr char kMsgAccepted[] =
    "\xBD\xD3\xCA\xDC\xB5\xBD\xD2\xBB\xB8\xF6\xD0\xC2\xB5\xC4IPC\xC7\xEB\xC7\xF3!";
constexpr char kMsgServiceRun[] = "In IPCService::Run()";

constexpr char kListenerThreadName[] = "p4pipc";
constexpr char kServiceThreadPrefix[] = "IPCSerive ";
// Download clients hand files over in bursts (a whole update at once); with a
// queue of 5, connections past it are refused while the listener starts the
// threads of the first ones.
constexpr int kBacklog = SOMAXCONN;

// A failed accept that leaves the listener usable is retried after this pause,
// so that a shortage of resources does not spin the thread.
constexpr DWORD kAcceptPauseMs = 100;

// A handler's address can come back for a new handler while the thread that
// held it still finishes (it releases its handler before it gives its name
// up); the name is free again a moment later.
constexpr int kNameAttempts = 20;
constexpr DWORD kNameRetryMs = 5;

}  // namespace

IPCServer::IPCServer(int port, uint32_t request_timeout_ms)
    : m_requestTimeoutMs(request_timeout_ms) {
  // In the body: the listener writes m_port, which must be set up first.
  m_listener.reset(new CPxpListenSocket(port, &m_port, kBacklog, true, 0));
}

IPCServer::~IPCServer() {
  // Nobody asks the object once its loop has ended; the port stays known to
  // the engine apart from it.
  if (g_ipcServer == this) g_ipcServer = nullptr;
}

bool IPCServer::Start() {
  IThreadManager* runtime = g_runtime;
  if (!runtime) return false;
  IThread* thread = runtime->NewThread(this, kListenerThreadName, true, 0);
  if (!thread) return false;
  return m_startGuard.Start(thread, this);
}

void IPCServer::Release() {
  if (m_startGuard.Defer()) return;
  delete this;
}

int32_t IPCServer::Run() {
  LogInfo(kMsgServiceStarted);
  LogInfo(kMsgListening, m_port);
  for (;;) {
    LogInfo(kMsgEnteringLoop);
    CPxpSocket* connection = nullptr;
    try {
      connection = m_listener->Accept();
    } catch (...) {
      const int error = m_listener->LastAcceptError();
      if (IsPassingAcceptError(error)) {
        LogInfo("IPC accept failed with error %d; accepting again", error);
        Sleep(kAcceptPauseMs);
        continue;
      }
      LogInfo("IPC accept failed with error %d; the IPC service stops", error);
      return 0;
    }
    if (!connection) continue;  // would-block: only a non-blocking listener
    LogInfo(kMsgAccepted);
    HandOver(connection);
  }
}

void IPCServer::HandOver(CPxpSocket* connection) {
  IPCService* service = nullptr;
  try {
    service = new IPCService(connection, m_requestTimeoutMs);
  } catch (...) {
    delete connection;
    return;
  }
  const std::string name =
      ConnectionThreadName(kServiceThreadPrefix, reinterpret_cast<uintptr_t>(service));
  IThread* thread = nullptr;
  if (IThreadManager* runtime = g_runtime) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      thread = runtime->NewThread(service, name.c_str(), true, 0);
      if (thread) break;
      Sleep(kNameRetryMs);
    }
  }
  if (!thread) {
    LogInfo("No thread for the IPC request (%s); connection closed", name.c_str());
    service->Release();
    return;
  }
  thread->Start();
}

int32_t IPCServer::OnMessage(UINT, WPARAM, LPARAM) { return 0; }

IPCService::IPCService(CPxpSocket* connection, uint32_t request_timeout_ms)
    : m_connection(connection), m_requestTimeoutMs(request_timeout_ms) {}

IPCService::~IPCService() = default;

void IPCService::Release() { delete this; }

int32_t IPCService::Run() {
  LogInfo(kMsgServiceRun);
  m_connection->LimitReceive(kMaxIpcRequestBytes);
  m_connection->SetReceiveDeadline(m_requestTimeoutMs);
  const std::string first_line = m_connection->ReceiveLine();
  std::string rest;
  if (!m_connection->ReceiveLimitExceeded() && !m_connection->ReceiveTimedOut()) {
    rest = m_connection->ReceiveAll();
  }
  if (m_connection->ReceiveLimitExceeded()) {
    LogInfo("IPC request longer than %u bytes; dropped",
            static_cast<unsigned>(kMaxIpcRequestBytes));
    return 0;
  }
  // A rest cut short by the deadline is still parsed: a client whose request
  // fills whole 1024-byte reads and then waits is served once time is up.
  if (m_connection->ReceiveTimedOut() && rest.empty()) {
    LogInfo("IPC client sent no request within %u ms; dropped",
            static_cast<unsigned>(m_requestTimeoutMs));
    return 0;
  }
  IpcRequest request;
  if (!ParseIpcRequest(first_line, rest, &request)) return 0;
  ShareFile(request.local_path, request.md5, request.url, request.mode);
  return 0;
}

int32_t IPCService::OnMessage(UINT, WPARAM, LPARAM) { return 0; }
