#include "httpserver/http_server.h"

#include <string>
#include <utility>

#include "httpserver/answer_blocks.h"
#include "httpserver/connection_name.h"
#include "httpserver/http_connection.h"
#include "httpserver/http_log_text.h"
#include "runtime/log.h"
#include "uploadpolicy/slowest_answer.h"

namespace {
constexpr char kAcceptThreadName[] = "HttpServer";
constexpr DWORD kNoListenSleepMs = 3600 * 1000;
// A connection object freed by a finishing thread can be reallocated before
// that thread leaves the registry; its name is free again a moment later.
constexpr int kThreadNameAttempts = 3;

void CancelWaits(SOCKET socket) { CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr); }
}  // namespace

HttpServer::HttpServer(IUploadGate* gate, const HttpServerLimits& limits)
    : m_gate(gate), m_limits(limits) {
  WSADATA data;
  m_wsaStarted = WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

HttpServer::~HttpServer() {
  m_listenSocket.reset();
  if (m_wsaStarted) WSACleanup();
  for (IHttpHandler* handler : m_handlers) handler->Release();
}

void HttpServer::Release() {
  if (m_startGuard.Defer()) return;
  delete this;
}

bool HttpServer::Start(IThreadManager* threads, int32_t port) {
  if (threads == nullptr) return false;
  zrvd::unique_socket listener(socket(AF_INET, SOCK_STREAM, 0));
  if (!listener) return false;

  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<u_short>(port));
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
      SOCKET_ERROR) {
    address.sin_port = 0;
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
        SOCKET_ERROR) {
      return false;
    }
  }
  sockaddr_in bound = {};
  int bound_size = sizeof(bound);
  if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &bound_size) == 0) {
    m_port = ntohs(bound.sin_port);
  }
  // The longest queue the system allows: a burst of peers up to the connection
  // bound waits there instead of being dropped (and, on some stacks, left half
  // open on the peer's side).
  m_listenResult = listen(listener.get(), SOMAXCONN);

  IThread* thread = threads->NewThread(this, kAcceptThreadName, true, 0);
  if (thread == nullptr) return false;
  m_threads = threads;
  m_listenSocket = std::move(listener);
  return m_startGuard.Start(thread, this);
}

void HttpServer::AddHandler(IHttpHandler* handler) {
  if (handler == nullptr) return;
  std::lock_guard<std::mutex> lock(m_handlersLock);
  m_handlers.push_back(handler);
}

IHttpHandler* HttpServer::HandlerAt(size_t index) {
  std::lock_guard<std::mutex> lock(m_handlersLock);
  return index < m_handlers.size() ? m_handlers[index] : nullptr;
}

int32_t HttpServer::GetPort() { return m_port; }

int32_t HttpServer::AttachSocket(SOCKET socket) {
  u_long non_blocking = 0;
  ioctlsocket(socket, FIONBIO, &non_blocking);
  sockaddr_in peer = {};
  int peer_size = sizeof(peer);
  getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peer_size);
  return ServeSocket(socket, peer.sin_addr.s_addr) ? 0 : -1;
}

void HttpServer::ConnectionClosed(uint32_t peer, bool evicted) {
  if (evicted) --m_evicting;
  if (--m_connections == 0) AnswerBlockPool::Shared().Trim();
  GiveBackPeerSlot(peer);
}

void HttpServer::GiveBackPeerSlot(uint32_t peer) {
  std::lock_guard<std::mutex> lock(m_peersLock);
  auto found = m_perPeer.find(peer);
  if (found != m_perPeer.end() && --found->second <= 0) m_perPeer.erase(found);
}

void HttpServer::EnterIdle(HttpConnection* connection, SOCKET socket) {
  std::lock_guard<std::mutex> lock(m_idleLock);
  m_idle[connection] = {socket, GetTickCount()};
}

bool HttpServer::LeaveIdle(HttpConnection* connection) {
  std::lock_guard<std::mutex> lock(m_idleLock);
  if (m_idle.erase(connection) != 0) return false;
  return m_evicted.erase(connection) != 0;
}

void HttpServer::AnswerPaced(HttpConnection* connection, SOCKET socket, uint64_t taken) {
  std::lock_guard<std::mutex> lock(m_idleLock);
  if (m_evicted.count(connection) == 0) m_paced[connection] = {socket, taken};
}

bool HttpServer::AnswerEnded(HttpConnection* connection) {
  std::lock_guard<std::mutex> lock(m_idleLock);
  m_paced.erase(connection);
  return m_evicted.erase(connection) != 0;
}

void HttpServer::Evict(HttpConnection* connection, SOCKET socket) {
  // The peer sees the end at once; the owner's wait ends with it, or with the
  // cancel where a shut-down socket does not end a wait under way (Wine), and
  // the owner closes the socket.
  shutdown(socket, SD_BOTH);
  CancelWaits(socket);
  m_evicted.insert(connection);
  ++m_evicting;
}

bool HttpServer::CloseSlowestAnswer(int32_t open) {
  std::lock_guard<std::mutex> lock(m_idleLock);
  std::vector<HttpConnection*> connections;
  std::vector<uint64_t> taken;
  for (const auto& paced : m_paced) {
    connections.push_back(paced.first);
    taken.push_back(paced.second.taken);
  }
  const ptrdiff_t slowest = SlowestAnswerBelow(taken, m_limits.evict_below_bytes);
  if (slowest < 0) return false;
  HttpConnection* connection = connections[static_cast<size_t>(slowest)];
  LogInfo(http_log::kSlowClosed, static_cast<unsigned>(taken[static_cast<size_t>(slowest)]),
          static_cast<unsigned>(m_limits.min_rate_window_ms / 1000), open);
  Evict(connection, m_paced[connection].socket);
  m_paced.erase(connection);
  return true;
}

bool HttpServer::CloseLongestIdle(int32_t open) {
  std::lock_guard<std::mutex> lock(m_idleLock);
  const DWORD now = GetTickCount();
  auto longest = m_idle.end();
  for (auto it = m_idle.begin(); it != m_idle.end(); ++it) {
    if (longest == m_idle.end() || now - it->second.since > now - longest->second.since) {
      longest = it;
    }
  }
  if (longest == m_idle.end()) return false;
  LogInfo(http_log::kIdleClosed, static_cast<unsigned>(now - longest->second.since), open);
  Evict(longest->first, longest->second.socket);
  m_idle.erase(longest);
  return true;
}

bool HttpServer::TakePeerSlot(uint32_t peer) {
  const int32_t most = m_maxPerPeer.load();
  std::lock_guard<std::mutex> lock(m_peersLock);
  int32_t& open = m_perPeer[peer];
  // Past the bound `open` is at least 1: the entry stays for its connections.
  if (most > 0 && open >= most) return false;
  ++open;
  return true;
}

int32_t HttpServer::Run() {
  LogInfo(http_log::kServerStarted);
  LogInfo(http_log::kListening, m_port,
          m_listenResult != SOCKET_ERROR ? http_log::kSucceeded : http_log::kFailed);
  for (;;) {
    if (m_listenResult == SOCKET_ERROR) {
      Sleep(kNoListenSleepMs);
      continue;
    }
    sockaddr_in peer = {};
    int peer_size = sizeof(peer);
    const SOCKET accepted =
        accept(m_listenSocket.get(), reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (accepted == INVALID_SOCKET) {
      LogInfo(http_log::kAcceptFailed, WSAGetLastError());
      Sleep(m_limits.accept_failure_pause_ms);
      continue;
    }
    ServeSocket(accepted, peer.sin_addr.s_addr);
  }
}

int32_t HttpServer::OnMessage(UINT, WPARAM, LPARAM) { return 0; }

bool HttpServer::ServeSocket(SOCKET socket, uint32_t peer) {
  zrvd::unique_socket owned(socket);
  if (m_threads == nullptr) return false;
  // The peer's own bound first: a connection refused by it must cost no other
  // peer its connection.
  if (!TakePeerSlot(peer)) {
    in_addr address;
    address.s_addr = peer;
    LogInfo(http_log::kTooManyFromPeer, m_maxPerPeer.load(), inet_ntoa(address));
    return false;
  }
  const int32_t open = m_connections.load() - m_evicting.load();
  if (open >= m_limits.max_connections && !CloseLongestIdle(open) && !CloseSlowestAnswer(open)) {
    LogInfo(http_log::kTooManyConnections, open);
    GiveBackPeerSlot(peer);
    return false;
  }

  HttpConnection* connection = new HttpConnection(this, owned.release(), peer);
  const std::string name = ConnectionThreadName(reinterpret_cast<uintptr_t>(connection));
  IThread* thread = nullptr;
  for (int attempt = 0; attempt < kThreadNameAttempts && thread == nullptr; ++attempt) {
    if (attempt > 0) Sleep(1);
    thread = m_threads->NewThread(connection, name.c_str(), true, 0);
  }
  if (thread == nullptr) {
    LogInfo(http_log::kThreadRefused, name.c_str());
    connection->Release();  // closes the socket it owns
    return false;
  }
  thread->SetStackReserve(m_limits.connection_stack_reserve);
  thread->Start();
  return true;
}
