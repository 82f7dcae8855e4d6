// Our address toward the default route's next hop, read from the route table.
#include "portmap/local_route.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "common/unique_any.h"

namespace {

// Any public address: the route toward it is the default route, when the table
// has no 0.0.0.0/0 entry of its own to read.
constexpr char kPublicAddress[] = "192.0.2.1";
constexpr uint16_t kSsdpPort = 1900;

}  // namespace

// The address the router knows us by: the source address toward the next hop of
// the default route (0.0.0.0/0, lowest metric; else the route toward a public
// address). Not the multicast route: a VPN, host-only or Hyper-V adapter may hold
// the 224/4 route at a lower metric, and the router cannot reach its address.
// Connecting a UDP socket sends nothing.
std::string LocalAddress(in_addr* next_hop) {
  DWORD hop = 0;
  DWORD best_metric = 0xFFFFFFFFu;
  ULONG size = 0;
  if (GetIpForwardTable(nullptr, &size, TRUE) == ERROR_INSUFFICIENT_BUFFER && size > 0) {
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
    if (GetIpForwardTable(table, &size, TRUE) == NO_ERROR) {
      for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table->table[i];
        if (row.dwForwardDest == 0 && row.dwForwardMask == 0 && row.dwForwardNextHop != 0 &&
            row.dwForwardMetric1 < best_metric) {
          best_metric = row.dwForwardMetric1;
          hop = row.dwForwardNextHop;
        }
      }
    }
  }
  if (hop == 0) {
    MIB_IPFORWARDROW route{};
    if (GetBestRoute(inet_addr(kPublicAddress), 0, &route) == NO_ERROR) {
      hop = route.dwForwardNextHop;
    }
  }
  if (hop == 0) return "";
  next_hop->s_addr = hop;
  zrvd::unique_socket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!udp) return "";
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSsdpPort);
  to.sin_addr = *next_hop;
  sockaddr_in local{};
  int length = sizeof(local);
  if (connect(udp.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
      getsockname(udp.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_addr.s_addr == 0) {
    return "";
  }
  return inet_ntoa(local.sin_addr);
}
