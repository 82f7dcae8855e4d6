#include "ipc/pxp_socket.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/unique_any.h"

namespace {

constexpr char kErrorNoLibrary[] = "Could not start WSA";
constexpr char kErrorNoSocket[] = "INVALID_SOCKET";
constexpr char kErrorAccept[] = "Invalid Socket";

constexpr size_t kReceiveBlock = 1024;

// Request threads destroy sockets while the listener thread makes them: the
// count and the library's start and clean-up move together under one lock.
std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}
long g_libraryUsers = 0;

void AcquireLibrary() {
  std::lock_guard<std::mutex> hold(LibraryLock());
  if (g_libraryUsers == 0) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) throw kErrorNoLibrary;
  }
  ++g_libraryUsers;
}

void ReleaseLibrary() {
  std::lock_guard<std::mutex> hold(LibraryLock());
  if (--g_libraryUsers == 0) WSACleanup();
}

}  // namespace

long SocketLibraryUsers() {
  std::lock_guard<std::mutex> hold(LibraryLock());
  return g_libraryUsers;
}

CPxpSocket::CPxpSocket() : CPxpSocket(LibraryOnly{}) { m_socket = socket(AF_INET, SOCK_STREAM, 0); }

CPxpSocket::CPxpSocket(SOCKET handle) : CPxpSocket(LibraryOnly{}) { m_socket = handle; }

CPxpSocket::CPxpSocket(LibraryOnly) { AcquireLibrary(); }

CPxpSocket::~CPxpSocket() {
  Close();
  ReleaseLibrary();
}

void CPxpSocket::Close() {
  if (m_socket == INVALID_SOCKET) return;
  shutdown(m_socket, SD_SEND);
  closesocket(m_socket);
  m_socket = INVALID_SOCKET;
}

void CPxpSocket::LimitReceive(size_t max_bytes) {
  m_limit = max_bytes;
  m_received = 0;
  m_overLimit = false;
}

void CPxpSocket::SetReceiveDeadline(uint32_t timeout_ms) {
  m_hasDeadline = true;
  m_deadlineStart = GetTickCount();
  m_deadlineMs = timeout_ms;
  m_timedOut = false;
  // Bounds a single blocking recv; the start time bounds all of them together.
  DWORD value = timeout_ms;
  setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
             sizeof(value));
}

int CPxpSocket::ReceiveSome(char* buffer, size_t wanted, int flags) {
  if (m_overLimit || m_timedOut) {
    WSASetLastError(WSAECONNABORTED);
    return SOCKET_ERROR;
  }
  if (m_hasDeadline && GetTickCount() - m_deadlineStart >= m_deadlineMs) {
    m_timedOut = true;
    WSASetLastError(WSAETIMEDOUT);
    return SOCKET_ERROR;
  }
  // One byte past the limit is allowed in, so that a longer sender shows.
  if (m_limit != SIZE_MAX) wanted = std::min(wanted, m_limit + 1 - m_received);
  const int got = recv(m_socket, buffer, static_cast<int>(wanted), flags);
  if (got > 0 && (flags & MSG_PEEK) == 0) {
    m_received += static_cast<size_t>(got);
    if (m_received > m_limit) m_overLimit = true;
  } else if (got == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT) {
    m_timedOut = true;
  }
  return got;
}

std::string CPxpSocket::ReceiveLine() {
  // Looks at what is waiting and takes it up to the LF only, so that the rest
  // stays for the next read, as byte-by-byte reading would leave it, without
  // a system call per byte.
  std::string line;
  char buffer[kReceiveBlock];
  for (;;) {
    if (m_socket == INVALID_SOCKET) return std::string();
    const int seen = ReceiveSome(buffer, sizeof(buffer), MSG_PEEK);
    if (seen == 0) return std::string();
    if (seen < 0) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) return line;
      return std::string();
    }
    const void* lf = std::memchr(buffer, '\n', static_cast<size_t>(seen));
    const size_t wanted =
        lf ? static_cast<size_t>(static_cast<const char*>(lf) - buffer) + 1 : static_cast<size_t>(seen);
    const int got = ReceiveSome(buffer, wanted, 0);
    if (got <= 0) return std::string();
    if (m_overLimit) return std::string();
    line.append(buffer, static_cast<size_t>(got));
    if (line.back() == '\n') return line;
  }
}

std::string CPxpSocket::ReceiveAll() {
  std::string all;
  char buffer[kReceiveBlock];
  while (m_socket != INVALID_SOCKET) {
    const int got = ReceiveSome(buffer, sizeof(buffer), 0);
    if (got < 0) break;
    all.append(buffer, static_cast<size_t>(got));
    if (m_overLimit || static_cast<size_t>(got) != sizeof(buffer)) break;
  }
  return all;
}

CPxpListenSocket::CPxpListenSocket(int port, int32_t* bound_port, int backlog, bool local_only,
                                   int non_blocking)
    : CPxpSocket(LibraryOnly{}) {
  // When this body throws, the base destructor closes the socket once and
  // gives the library count back.
  m_socket = socket(AF_INET, SOCK_STREAM, 0);
  if (m_socket == INVALID_SOCKET) throw kErrorNoSocket;
  if (non_blocking == 1) {
    u_long on = 1;
    ioctlsocket(m_socket, FIONBIO, &on);
  }
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = local_only ? inet_addr("127.0.0.1") : htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<u_short>(port));
  if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    address.sin_port = 0;
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      closesocket(m_socket);
      m_socket = INVALID_SOCKET;
      throw kErrorNoSocket;
    }
  }
  sockaddr_in bound = {};
  int bound_size = sizeof(bound);
  getsockname(m_socket, reinterpret_cast<sockaddr*>(&bound), &bound_size);
  *bound_port = static_cast<int32_t>(ntohs(bound.sin_port));
  listen(m_socket, backlog);
}

CPxpSocket* CPxpListenSocket::Accept() {
  zrvd::unique_socket accepted(accept(m_socket, nullptr, nullptr));
  if (!accepted) {
    m_lastAcceptError = WSAGetLastError();
    if (m_lastAcceptError == WSAEWOULDBLOCK) return nullptr;
    throw kErrorAccept;
  }
  m_lastAcceptError = 0;
  CPxpSocket* connection = new CPxpSocket(accepted.get());
  accepted.release();
  return connection;
}
