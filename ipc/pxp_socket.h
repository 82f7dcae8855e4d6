// A small TCP wrapper over Windows Sockets for the local IPC service: a
// loopback listener and connections that are read, never written.
//
// Errors are thrown as constant texts (const char*): "Could not start WSA",
// "INVALID_SOCKET" and "Invalid Socket". Receive errors never throw.
//
// Threading: one thread uses one socket object at a time. Objects may be made
// and destroyed on any thread: the sockets library's use count is kept under a
// lock together with its start and clean-up.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Live CPxpSocket objects of both kinds; the library runs while it is above 0.
long SocketLibraryUsers();

class CPxpSocket {
 public:
  // A new TCP socket; the handle is kept even when creating it failed.
  CPxpSocket();
  // Takes over `handle` (an accepted connection); it is closed with the object.
  explicit CPxpSocket(SOCKET handle);
  CPxpSocket(const CPxpSocket&) = delete;
  CPxpSocket& operator=(const CPxpSocket&) = delete;
  virtual ~CPxpSocket();

  // One line, its LF included (a CR before it stays). Empty when the peer
  // closes before the LF, on any error other than would-block, past the
  // receive limit or the deadline; on would-block, what was read so far.
  std::string ReceiveLine();
  // Reads of up to 1024 bytes, repeated while a read fills all 1024; stops at a
  // shorter read, an error, the end of the stream, the limit or the deadline.
  std::string ReceiveAll();
  // Shuts the sending side down and closes; later calls do nothing.
  void Close();

  // Both receive operations together take at most `max_bytes` bytes from now
  // on; a sender that offers more is cut off and ReceiveLimitExceeded is set.
  void LimitReceive(size_t max_bytes);
  bool ReceiveLimitExceeded() const { return m_overLimit; }
  // Every receive from now on must finish within `timeout_ms` of this call;
  // once it passes, receives fail and ReceiveTimedOut is set.
  void SetReceiveDeadline(uint32_t timeout_ms);
  bool ReceiveTimedOut() const { return m_timedOut; }

  SOCKET Handle() const { return m_socket; }

 protected:
  struct LibraryOnly {};
  // Starts the library and holds no socket yet: for derived constructors.
  explicit CPxpSocket(LibraryOnly);

  SOCKET m_socket = INVALID_SOCKET;

 private:
  // recv bounded by the limit and the deadline; the result of recv. Peeked
  // bytes (MSG_PEEK) are not counted against the limit.
  int ReceiveSome(char* buffer, size_t wanted, int flags);

  size_t m_limit = SIZE_MAX;
  size_t m_received = 0;
  bool m_overLimit = false;
  bool m_hasDeadline = false;
  uint32_t m_deadlineStart = 0;
  uint32_t m_deadlineMs = 0;
  bool m_timedOut = false;
};

class CPxpListenSocket : public CPxpSocket {
 public:
  // Binds `port` (on 127.0.0.1 when `local_only`, else on every address), or a
  // port the system chooses when that bind fails; writes the bound port to
  // `*bound_port` and listens with `backlog`. Non-blocking when
  // `non_blocking` is 1. Throws "INVALID_SOCKET" when no socket can be made or
  // bound; the library use count taken is given back first.
  CPxpListenSocket(int port, int32_t* bound_port, int backlog, bool local_only,
                   int non_blocking);

  // The next connection, owned by the caller; null on would-block (a
  // non-blocking listener only). Throws "Invalid Socket" on any other failure,
  // whose Winsock error LastAcceptError then holds.
  CPxpSocket* Accept();
  int LastAcceptError() const { return m_lastAcceptError; }

 private:
  int m_lastAcceptError = 0;
};
