#include "uploadpolicy/lan_adapters.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

std::vector<OnLinkPrefix> ReadOnLinkPrefixes() {
  std::vector<OnLinkPrefix> prefixes;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  std::vector<char> buffer(16 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, flags, nullptr,
                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != ERROR_SUCCESS) return prefixes;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
       adapter = adapter->Next) {
    const AdapterLink link = LinkOfAdapter(adapter->IfType, adapter->OperStatus == IfOperStatusUp);
    for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (!address || address->sa_family != AF_INET) continue;
      OnLinkPrefix prefix;
      prefix.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      prefix.length = unicast->OnLinkPrefixLength;
      prefix.link = link;
      prefixes.push_back(prefix);
    }
  }
  return prefixes;
}

AddressChangeWatch::AddressChangeWatch() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  Rearm();
}

void AddressChangeWatch::Rearm() {
  if (!m_event) return;
  ResetEvent(m_event.get());
  m_overlapped = OVERLAPPED{};
  m_overlapped.hEvent = m_event.get();
  HANDLE handle = nullptr;
  m_armed = NotifyAddrChange(&handle, &m_overlapped) == ERROR_IO_PENDING;
}
