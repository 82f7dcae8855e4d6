#include "catalogue/address_probe.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "catalogue/announce_datagram.h"
#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/settings.h"

namespace {

std::string g_localAddressText;

}  // namespace

std::string GetLocalAddressText() {
  if (!g_localAddressText.empty()) return g_localAddressText;

  const HostSetting probe = ReadProbeHost();
  hostent* host = gethostbyname(probe.host.c_str());
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
    LogMessage(kLogNetFailure, "gethostbyname : %s", std::strerror(errno));
    return std::string();
  }

  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(probe.port);
  std::memcpy(&peer.sin_addr, host->h_addr_list[0], sizeof(peer.sin_addr));

  sockaddr_in local = {};
  int local_size = sizeof(local);
  {
    zrvd::unique_socket sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock || connect(sock.get(), reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) {
      LogMessage(kLogNetFailure, "connect : %s", std::strerror(WSAGetLastError()));
      return std::string();
    }
    if (getsockname(sock.get(), reinterpret_cast<sockaddr*>(&local), &local_size) != 0) {
      LogMessage(kLogNetFailure, "getsockname : %s", std::strerror(WSAGetLastError()));
      return std::string();
    }
    // Nothing is ever sent: the connection only tells which address is ours.
  }
  if (local_size != static_cast<int>(sizeof(local))) {
    LogMessage(kLogNetFailure, "getsockname : size mismatch");
    return std::string();
  }
  if (local.sin_addr.s_addr == INADDR_ANY) return std::string();

  const char* address = inet_ntoa(local.sin_addr);
  LogMessage(kLogNormal, "Local IP : %s", address);
  g_localAddressText = FormatLocalAddressText(address, g_httpPort.load());
  return g_localAddressText;
}

void ResetLocalAddressTextForTest() { g_localAddressText.clear(); }
