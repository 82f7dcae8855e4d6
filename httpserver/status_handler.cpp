#include "httpserver/status_handler.h"

#include <cstring>

#include "common/unique_any.h"
#include "httpserver/local_only.h"
#include "httpserver/socket_io.h"

namespace {

void SendAndClose(SOCKET socket, const char* status, const std::string& type,
                  const std::string& body) {
  zrvd::unique_socket closing(socket);
  const std::string answer = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                             "\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-store"
                             "\r\nConnection: close\r\n\r\n" + body;
  SendAll(closing.get(), answer.data(), static_cast<int32_t>(answer.size()));
  shutdown(closing.get(), SD_SEND);
}

// The port the connection came in on, in host byte order; 0 when unknown.
uint32_t LocalPortOf(SOCKET socket) {
  sockaddr_in local = {};
  int size = sizeof(local);
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET) {
    return 0;
  }
  return ntohs(local.sin_port);
}

}  // namespace

bool PeerAddressOf(SOCKET socket, uint32_t* address) {
  sockaddr_in peer = {};
  int size = sizeof(peer);
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
      peer.sin_family != AF_INET) {
    return false;
  }
  *address = ntohl(peer.sin_addr.s_addr);
  return true;
}

void StatusHandler::Release() { delete this; }

int32_t StatusHandler::HandleRequest(IHttpRequest* request, SOCKET socket) {
  const char* method = request->GetMethod();
  const char* uri = request->GetURI();
  const bool status = std::strcmp(uri, "/status") == 0 && std::strcmp(method, "GET") == 0;
  const bool verify = std::strcmp(uri, "/verify") == 0 && std::strcmp(method, "POST") == 0;
  if (!status && !verify) return kHttpDeclined;
  uint32_t peer = 0;
  if (!PeerAddressOf(socket, &peer) || !IsLoopbackAddress(peer)) return kHttpDeclined;
  // A client's Host names the port it connected to: this socket's own.
  if (!IsLocalRequest(request->GetHeader("HOST"), request->GetHeader("ORIGIN"), verify,
                      LocalPortOf(socket))) {
    return kHttpDeclined;
  }
  if (verify) {
    m_source.verify_all();
    SendAndClose(socket, "202 Accepted", "application/json", "{\"verify\":\"requested\"}\n");
  } else if (std::strcmp(request->GetParam("format"), "text") == 0) {
    SendAndClose(socket, "200 OK", "text/plain", m_source.table());
  } else {
    SendAndClose(socket, "200 OK", "application/json", m_source.json());
  }
  return kHttpClosed;
}
