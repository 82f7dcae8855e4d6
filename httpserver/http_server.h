// The peer-facing HTTP server: listens on one TCP port, accepts on its own
// "HttpServer" thread, and serves every connection on a thread of its own.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "common/unique_any.h"
#include "httpserver/http_interfaces.h"
#include "httpserver/http_limits.h"
#include "runtime/start_release_guard.h"
#include "runtime/thread.h"
#include "uploadpolicy/upload_gate.h"

// Once started, the accept thread uses the server for the rest of the process:
// a started server is never destroyed. Connections hold a pointer to it too.
class HttpConnection;

class HttpServer : public IHttpServer, public IThreadHandler {
 public:
  // `gate`, which must outlive the server, classes each connection's peer.
  explicit HttpServer(IUploadGate* gate, const HttpServerLimits& limits = HttpServerLimits());

  // IHttpServer. Start returns false when the socket cannot be made or bound,
  // or when the accept thread cannot be started; the caller then still owns
  // the server and releases it.
  void Release() override;
  bool Start(IThreadManager* threads, int32_t port) override;
  void AddHandler(IHttpHandler* handler) override;
  int32_t GetPort() override;
  int32_t AttachSocket(SOCKET socket) override;

  // IThreadHandler: the accept loop.
  int32_t Run() override;
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  ~HttpServer() override;

  // For connection threads. The handler at `index` in registration order, or
  // null past the end; handlers are never removed, so the pointer stays valid.
  IHttpHandler* HandlerAt(size_t index);
  const HttpServerLimits& Limits() const { return m_limits; }
  IUploadGate* Gate() const { return m_gate; }
  int32_t OpenConnections() const { return m_connections.load(); }
  void ConnectionOpened() { ++m_connections; }
  // Also gives back the slot of `peer` that ServeSocket took; `evicted` when
  // the server closed it for a new one.
  void ConnectionClosed(uint32_t peer, bool evicted = false);

  // A connection waits for its next request on `socket`; until LeaveIdle the
  // server may shut the socket down to admit a new connection at the bound.
  void EnterIdle(HttpConnection* connection, SOCKET socket);
  // True when the server shut it down meanwhile: the connection then ends.
  bool LeaveIdle(HttpConnection* connection);

  // A long answer of `connection` on `socket` took `taken` bytes over its last
  // window of sending time; until AnswerEnded the server may shut the socket
  // down to admit a new connection at the bound. AnswerEnded is true when it did.
  void AnswerPaced(HttpConnection* connection, SOCKET socket, uint64_t taken);
  bool AnswerEnded(HttpConnection* connection);

  // At most this many connections from one peer address; 0: no bound. A
  // connection past it is closed before any thread is made for it.
  void SetMaxConnectionsPerPeer(int32_t most) { m_maxPerPeer = most; }

 private:
  // Hands the socket to a new connection thread; closes it when that cannot be.
  bool ServeSocket(SOCKET socket, uint32_t peer);
  // Takes a slot for one more connection of `peer`; false past the bound.
  bool TakePeerSlot(uint32_t peer);
  void GiveBackPeerSlot(uint32_t peer);
  // Shuts down the connection idle the longest; false when none is idle.
  bool CloseLongestIdle(int32_t open);
  // Shuts down the answer slower than limits.evict_below_bytes that took the
  // fewest bytes over its last window; false when none is that slow.
  bool CloseSlowestAnswer(int32_t open);
  // Shuts `socket` down under m_idleLock and counts its connection as evicted.
  void Evict(HttpConnection* connection, SOCKET socket);

  zrvd::unique_socket m_listenSocket;
  int32_t m_port = 0;
  std::mutex m_handlersLock;
  std::vector<IHttpHandler*> m_handlers;
  int32_t m_listenResult = SOCKET_ERROR;
  IThreadManager* m_threads = nullptr;
  IUploadGate* const m_gate;
  const HttpServerLimits m_limits;
  std::atomic<int32_t> m_connections{0};
  std::atomic<int32_t> m_maxPerPeer{0};
  std::mutex m_peersLock;
  std::map<uint32_t, int32_t> m_perPeer;  // open connections by peer address
  struct IdleConnection {
    SOCKET socket;
    DWORD since;
  };
  // The socket of an idle or answering connection is shut down only under
  // this lock, and its owner closes it only after LeaveIdle or AnswerEnded:
  // the handle is never a stale one.
  std::mutex m_idleLock;
  std::map<HttpConnection*, IdleConnection> m_idle;
  struct PacedAnswer {
    SOCKET socket;
    uint64_t taken;
  };
  std::map<HttpConnection*, PacedAnswer> m_paced;
  std::set<HttpConnection*> m_evicted;  // shut down, not yet told
  // Evicted connections whose threads are still ending: not counted at the bound.
  std::atomic<int32_t> m_evicting{0};
  bool m_wsaStarted = false;
  StartReleaseGuard m_startGuard;
};
