#include "statuspage/status_handler.h"

#include <cstring>

#include "common/unique_any.h"
#include "httpserver/socket_io.h"
#include "statuspage/local_only.h"
#include "statuspage/status_page.h"
#include "uploadpolicy/peer_class.h"

namespace {

void SendAndClose(SOCKET socket, const char* status, const std::string& type,
                  const std::string& body) {
  zrvd::unique_socket closing(socket);
  const std::string answer = LocalAnswer(status, type, body);
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
  const LocalPath path = LocalPathOf(request->GetMethod(), request->GetURI());
  if (path == LocalPath::kNone) return kHttpDeclined;
  uint32_t peer = 0;
  if (!PeerAddressOf(socket, &peer) || !IsLoopbackAddress(peer)) return kHttpDeclined;
  // A client's Host names the port it connected to: this socket's own. A
  // foreign Origin is refused on reads too: nothing here is for another site.
  if (!IsLocalRequest(request->GetHeader("HOST"), request->GetHeader("ORIGIN"), true,
                      LocalPortOf(socket))) {
    return kHttpDeclined;
  }
  if (ChangesState(path) && !TokenMatches(request->GetHeader(kTokenHeader), m_source.token)) {
    return kHttpDeclined;
  }
  std::string body;
  std::string type;
  switch (path) {
    case LocalPath::kVerify:
      m_source.verify_all();
      SendAndClose(socket, "202 Accepted", "application/json", "{\"verify\":\"requested\"}\n");
      break;
    case LocalPath::kPause:
    case LocalPath::kResume:
      if (!m_source.set_paused(path == LocalPath::kPause)) {
        SendAndClose(socket, "500 Internal Server Error", "application/json",
                     "{\"error\":\"the setting could not be stored\"}\n");
        break;
      }
      SendAndClose(socket, "200 OK", "application/json",
                   path == LocalPath::kPause ? "{\"paused\":true}\n" : "{\"paused\":false}\n");
      break;
    case LocalPath::kPage:
      if (!m_source.ui_file("page.html", &body, &type)) return kHttpDeclined;
      SendAndClose(socket, "200 OK", type, FillPage(body, m_source.token));
      break;
    case LocalPath::kUiFile:
      if (std::strcmp(request->GetURI(), "/ui/page.html") == 0 ||
          !m_source.ui_file(request->GetURI() + 4, &body, &type)) {
        return kHttpDeclined;
      }
      SendAndClose(socket, "200 OK", type, body);
      break;
    default:
      if (std::strcmp(request->GetParam("format"), "text") == 0) {
        SendAndClose(socket, "200 OK", "text/plain; charset=utf-8", m_source.table());
      } else {
        SendAndClose(socket, "200 OK", "application/json", m_source.json());
      }
  }
  return kHttpClosed;
}
