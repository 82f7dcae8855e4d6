// The SSDP search and the gateway's description, over our own sockets.
#include "portmap/ssdp_search.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <vector>

#include "common/unique_any.h"
#include "portmap/http_exchange.h"

namespace {

constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;
constexpr DWORD kSearchMs = 3000;  // SSDP answers (MX 2) and the description

}  // namespace

Gateway Search(const std::string& local, in_addr next_hop) {
  Gateway gateway;
  zrvd::unique_socket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!udp) return gateway;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = inet_addr(local.c_str());
  bind(udp.get(), reinterpret_cast<sockaddr*>(&from), sizeof(from));
  in_addr interface_address = from.sin_addr;
  setsockopt(udp.get(), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&interface_address),
             sizeof(interface_address));
  DWORD ttl = 2;
  setsockopt(udp.get(), IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl),
             sizeof(ttl));
  const std::string request = SsdpSearchRequest();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSsdpPort);
  for (in_addr target : {in_addr{}, next_hop}) {
    to.sin_addr = target;
    if (target.s_addr == 0) to.sin_addr.s_addr = inet_addr(kSsdpGroup);
    sendto(udp.get(), request.data(), static_cast<int>(request.size()), 0,
           reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }
  const DWORD deadline = GetTickCount() + kSearchMs;
  std::vector<char> buffer(4096);
  while (Ready(udp.get(), false, deadline)) {
    sockaddr_in sender{};
    int sender_length = sizeof(sender);
    const int n = recvfrom(udp.get(), buffer.data(), static_cast<int>(buffer.size()), 0,
                           reinterpret_cast<sockaddr*>(&sender), &sender_length);
    // Only the next hop is the gateway, and its description only at its own
    // address: any other host on the LAN could point our requests anywhere.
    if (n <= 0 || sender.sin_addr.s_addr != next_hop.s_addr) continue;
    HttpUrl where;
    if (!ParseHttpUrl(SsdpLocation(std::string(buffer.data(), static_cast<size_t>(n))), &where) ||
        where.address != ntohl(next_hop.s_addr)) {
      continue;
    }
    std::string answer;
    const std::string get = "GET " + where.path + " HTTP/1.1\r\nHost: " + where.host + ":" +
                            std::to_string(where.port) + "\r\nConnection: close\r\n\r\n";
    IgdService service;
    if (!Exchange(where, get, kRequestMs, &answer) || ParseHttpAnswer(answer).status != 200 ||
        !FindIgdService(ParseHttpAnswer(answer).body, &service) ||
        !ControlUrl(where, service.control_url, &gateway.control)) {
      continue;
    }
    gateway.service_type = service.service_type;
    gateway.found = true;
    break;
  }
  return gateway;
}
