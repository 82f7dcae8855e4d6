// One peer connection: reads requests one after another and lets the server's
// handlers answer them, until the peer goes, a handler closes, or a bound is hit.
#pragma once

#include <winsock2.h>

#include <cstdint>

#include "common/unique_any.h"
#include "httpserver/http_interfaces.h"
#include "httpserver/request_parser.h"
#include "httpserver/socket_io.h"
#include "runtime/thread.h"

class HttpServer;

// Created by the server for an accepted socket and run on its own thread, which
// owns it (auto-delete). `server` must outlive the connection. The connection
// owns the socket and closes it on every way its request loop ends.
class HttpConnection : public IThreadHandler, public IHttpRequest, public IAnswerWatcher {
 public:
  // `peer` is the IPv4 address the connection comes from, as the server counts it.
  HttpConnection(HttpServer* server, SOCKET socket, uint32_t peer = 0);

  void Release() override;

  // IThreadHandler: the request loop.
  int32_t Run() override;
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  // IHttpRequest, for handlers on this connection's thread.
  const char* GetMethod() override;
  const char* GetURI() override;
  const char* GetVersion() override;
  const char* GetHeader(const char* name) override;
  const char* GetParam(const char* name) override;
  bool PeerIsLan() override;

  // IAnswerWatcher, for the answers sent on this connection's thread.
  void Paced(SOCKET socket, uint64_t taken) override;
  void Ended() override;

  ~HttpConnection() override;

 private:
  // Ends sending, then closes: the peer reads all that was sent, then the end.
  void CloseSocket();

  HttpServer* m_server;
  const uint32_t m_peer;
  bool m_peerIsLan = false;
  bool m_evicted = false;  // closed by the server, idle or slow, for a new connection
  zrvd::unique_socket m_socket;
  ParsedRequest m_request;
};
