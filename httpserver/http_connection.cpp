#include "httpserver/http_connection.h"

#include <cstdint>
#include <string>

#include "httpserver/http_log_text.h"
#include "httpserver/http_server.h"
#include "httpserver/response_head.h"
#include "httpserver/socket_io.h"
#include "runtime/log.h"

namespace {
const char kEmptyText[] = "";

const char* Lookup(const std::map<std::string, std::string>& map, const char* name) {
  if (name == nullptr) return kEmptyText;
  auto found = map.find(name);
  return found == map.end() ? kEmptyText : found->second.c_str();
}
}  // namespace

HttpConnection::HttpConnection(HttpServer* server, SOCKET socket, uint32_t peer)
    : m_server(server), m_peer(peer), m_socket(socket) {
  m_server->ConnectionOpened();
  LogInfo(http_log::kConnectionOpened);
}

HttpConnection::~HttpConnection() {
  LogInfo(http_log::kConnectionClosed);
  m_socket.reset();
  m_server->ConnectionClosed(m_peer, m_evicted);
}

void HttpConnection::Release() { delete this; }

int32_t HttpConnection::OnMessage(UINT, WPARAM, LPARAM) { return 0; }

void HttpConnection::CloseSocket() {
  shutdown(m_socket.get(), SD_SEND);
  m_socket.reset();
}

int32_t HttpConnection::Run() {
  LogInfo(http_log::kConnectionRuns);
  int32_t request_number = 0;
  LogInfo(http_log::kKeepAliveRequest, request_number);

  const HttpServerLimits& limits = m_server->Limits();
  const DWORD send_timeout = limits.send_timeout_ms;
  setsockopt(m_socket.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout),
             sizeof(send_timeout));
  if (const int send_buffer =
          static_cast<int>(limits.SendBufferFor(m_server->OpenConnections()))) {
    setsockopt(m_socket.get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
               sizeof(send_buffer));
  }

  SetThreadAnswerRules({limits.min_rate_window_ms, limits.min_rate_bytes, this});
  // Once per connection: a peer does not move between links while connected.
  m_peerIsLan = m_server->Gate()->IsLanPeer(ntohl(m_peer));

  RequestHeadReader reader(m_socket.get());
  for (;;) {
    // The first head has its own time from the start; later ones may idle
    // first, and while they do the server may close the connection for a new one.
    bool arrived = true;
    if (request_number > 0) {
      m_server->EnterIdle(this, m_socket.get());
      arrived = reader.WaitForBytes(limits.idle_timeout_ms, limits.max_head_bytes);
      if (m_server->LeaveIdle(this)) m_evicted = true;
    }
    const HeadReadLimits head_limits = {limits.max_head_bytes, 0, limits.head_timeout_ms};
    const std::string head = arrived && !m_evicted ? reader.Read(head_limits) : std::string();
    if (head.empty()) {
      LogInfo(http_log::kReceiveFailed);
      CloseSocket();
      return 0;
    }

    m_request = ParseRequestHead(head);
    LogInfo(http_log::kRequestHead, head.c_str());
    LogInfo(http_log::kMethod, m_request.method.c_str());
    LogInfo(http_log::kUri, m_request.raw_uri.c_str());
    LogInfo(http_log::kVersion, m_request.version.c_str());
    for (const auto& piece : m_request.query_pieces) {
      LogInfo(http_log::kQueryPiece, piece.first.c_str(), piece.second.c_str());
    }

    int32_t result = kHttpDeclined;
    for (size_t index = 0; IHttpHandler* handler = m_server->HandlerAt(index); ++index) {
      result = handler->HandleRequest(this, m_socket.get());
      if (result == kHttpKeepOpen || result == kHttpClosed) break;
    }
    if (result == kHttpClosed) {
      m_socket.release();  // the handler has closed it
      return 0;
    }
    if (result != kHttpKeepOpen) {
      LogInfo(http_log::kNoHandler);
      SendAll(m_socket.get(), kNotFoundAnswer, static_cast<int32_t>(kNotFoundAnswerSize));
      CloseSocket();
      return 0;
    }
    // A peer decides how many requests one connection carries: the count stops
    // at its largest value rather than overflow.
    if (request_number < INT32_MAX) ++request_number;
    LogInfo(http_log::kKeepAliveRequest, request_number);
  }
}

void HttpConnection::Paced(SOCKET socket, uint64_t taken) {
  m_server->AnswerPaced(this, socket, taken);
}

void HttpConnection::Ended() {
  if (m_server->AnswerEnded(this)) m_evicted = true;
}

const char* HttpConnection::GetMethod() { return m_request.method.c_str(); }
const char* HttpConnection::GetURI() { return m_request.uri.c_str(); }
const char* HttpConnection::GetVersion() { return m_request.version.c_str(); }
const char* HttpConnection::GetHeader(const char* name) { return Lookup(m_request.headers, name); }
const char* HttpConnection::GetParam(const char* name) { return Lookup(m_request.params, name); }
bool HttpConnection::PeerIsLan() { return m_peerIsLan; }
