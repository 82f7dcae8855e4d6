// The HTTP server's interfaces: the server itself, the request handlers it
// consults, and the request a handler is given.
#pragma once

#include <winsock2.h>

#include <cstdint>

class IThreadManager;

// One parsed request of a connection. The texts returned stay valid until the
// connection reads its next request or ends. A handler must not Release it:
// the request is the connection, which its thread owns.
class IHttpRequest {
 public:
  virtual void Release() = 0;
  virtual const char* GetMethod() = 0;
  // The path as the request line gave it, without its query.
  virtual const char* GetURI() = 0;
  virtual const char* GetVersion() = 0;
  // The value under exactly `name` (header names are stored upper-cased, so ask
  // for "RANGE"), or empty text.
  virtual const char* GetHeader(const char* name) = 0;
  // The percent-decoded query parameter under exactly `name`, or empty text.
  virtual const char* GetParam(const char* name) = 0;
  // Whether the peer is on the LAN, as the server's upload gate classed it when
  // the connection began; the same on whichever thread a handler asks.
  virtual bool PeerIsLan() = 0;
  virtual ~IHttpRequest() = default;
};

// HandleRequest results.
constexpr int32_t kHttpKeepOpen = 1;  // answered; the connection reads the next request
constexpr int32_t kHttpClosed = 0;    // answered; the handler shut down and closed the socket
constexpr int32_t kHttpDeclined = -1;  // not this handler's request; ask the next one

// Answers requests. Called from many connection threads at once, so it keeps no
// per-request state in itself.
class IHttpHandler {
 public:
  virtual void Release() = 0;
  virtual int32_t HandleRequest(IHttpRequest* request, SOCKET socket) = 0;
  virtual ~IHttpHandler() = default;
};

class IHttpServer {
 public:
  virtual void Release() = 0;
  // Listens on `port` (another, system-chosen one when it is taken; 0 asks for
  // one) and starts the accept thread on `threads`, which must outlive the
  // server. False when nothing listens and no thread was started.
  virtual bool Start(IThreadManager* threads, int32_t port) = 0;
  // Appends a handler; the server owns it from then on. Safe while serving.
  virtual void AddHandler(IHttpHandler* handler) = 0;
  // The bound port in host byte order.
  virtual int32_t GetPort() = 0;
  // Serves an already connected socket like an accepted one; the server owns
  // it from then on. 0 when a connection thread serves it, -1 when it was
  // closed instead (no thread manager, too many connections, thread refused).
  virtual int32_t AttachSocket(SOCKET socket) = 0;
  virtual ~IHttpServer() = default;
};
