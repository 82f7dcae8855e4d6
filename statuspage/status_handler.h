// Answers the local machine's questions on the peer port: "GET /status" (JSON,
// or the table with "?format=text"), the status page ("GET /" and its files
// under "/ui/"), and the actions "POST /pause", "/resume" and "/verify" (a
// file check of every entry), which carry the page's token. Only a connection whose peer address, as its own socket reports it,
// is in 127.0.0.0/8, and whose request passes IsLocalRequest (a web page in the
// player's browser is loopback too), is answered; for any other the handler
// declines, so the asker gets the 404 of any unknown path and sees nothing new.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

#include "httpserver/http_interfaces.h"

// What the handler needs of the engine; each is called on a connection thread.
struct StatusSource {
  std::string (*json)();
  std::string (*table)();
  void (*verify_all)();
  bool (*set_paused)(bool paused);  // false: the switch could not be stored
  // The page's file under `name` ("page.html": the page) and its content type;
  // false when there is none.
  bool (*ui_file)(const std::string& name, std::string* body, std::string* type);
  std::string token;  // what every action must carry
};

class StatusHandler : public IHttpHandler {
 public:
  explicit StatusHandler(StatusSource source) : m_source(source) {}
  void Release() override;
  // -1 unless a local asker (above) asks for one of the paths; then the
  // answer is sent, the socket closed and 0 returned.
  int32_t HandleRequest(IHttpRequest* request, SOCKET socket) override;

 private:
  const StatusSource m_source;
};

// The peer's IPv4 address in host byte order, read from the socket itself;
// false when it has none.
bool PeerAddressOf(SOCKET socket, uint32_t* address);
