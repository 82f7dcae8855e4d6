// One HTTP exchange with the gateway: non-blocking, bounded in time and in bytes.
#include "portmap/http_exchange.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "common/unique_any.h"
#include "portmap/map_flags.h"

namespace {

constexpr DWORD kSliceMs = 100;  // how often a request in flight sees a stop

}  // namespace

// Waits until `socket` is ready or `deadline` (GetTickCount) passes; a stop ends it.
bool Ready(SOCKET s, bool write, DWORD deadline) {
  for (;;) {
    if (PortMapCut()) return false;
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0) return false;
    const DWORD left = deadline - now;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors = set;
    timeval slice{0, static_cast<long>((left < kSliceMs ? left : kSliceMs) * 1000)};
    const int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &slice);
    if (n < 0 || FD_ISSET(s, &errors)) return false;
    if (n > 0) return true;
  }
}

// One HTTP exchange: the request out, at most kMaxUpnpAnswer bytes of answer in.
bool Exchange(const HttpUrl& url, const std::string& request, DWORD ms, std::string* answer) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(url.port);
  to.sin_addr.s_addr = inet_addr(url.host.c_str());
  if (to.sin_addr.s_addr == INADDR_NONE) return false;
  zrvd::unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s) return false;
  u_long nonblocking = 1;
  ioctlsocket(s.get(), FIONBIO, &nonblocking);
  const DWORD deadline = GetTickCount() + ms;
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    return false;
  }
  for (size_t sent = 0; sent < request.size();) {
    if (!Ready(s.get(), true, deadline)) return false;
    const int n = send(s.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (n <= 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (n > 0) sent += static_cast<size_t>(n);
  }
  answer->clear();
  char buffer[8192];
  while (answer->size() < kMaxUpnpAnswer && !HttpAnswerComplete(*answer)) {
    if (!Ready(s.get(), false, deadline)) return false;
    const int n = recv(s.get(), buffer, sizeof(buffer), 0);
    if (n == 0) break;
    if (n < 0) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
      break;
    }
    answer->append(buffer, static_cast<size_t>(n) < kMaxUpnpAnswer - answer->size()
                               ? static_cast<size_t>(n)
                               : kMaxUpnpAnswer - answer->size());
  }
  return !answer->empty();
}
