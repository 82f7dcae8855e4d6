#include "httpserver/lan_adapters.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

namespace {

// Loaded at run time, so that the DLL loads where the IP helper cannot.
using GetAdaptersAddressesFn = ULONG(WINAPI*)(ULONG, ULONG, void*, IP_ADAPTER_ADDRESSES*, ULONG*);
using NotifyAddrChangeFn = DWORD(WINAPI*)(HANDLE*, OVERLAPPED*);

HMODULE IpHelper() {
  static const HMODULE module = LoadLibraryA("iphlpapi.dll");  // kept for the process
  return module;
}

template <typename Fn>
Fn Find(const char* name) {
  HMODULE module = IpHelper();
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

}  // namespace

std::vector<OnLinkPrefix> ReadOnLinkPrefixes() {
  std::vector<OnLinkPrefix> prefixes;
  const auto get = Find<GetAdaptersAddressesFn>("GetAdaptersAddresses");
  if (!get) return prefixes;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  std::vector<char> buffer(16 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = get(AF_INET, flags, nullptr,
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
      prefix.length =
          reinterpret_cast<const IP_ADAPTER_UNICAST_ADDRESS_LH*>(unicast)->OnLinkPrefixLength;
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
  const auto notify = Find<NotifyAddrChangeFn>("NotifyAddrChange");
  if (!m_event || !notify) return;
  ResetEvent(m_event.get());
  m_overlapped = OVERLAPPED{};
  m_overlapped.hEvent = m_event.get();
  HANDLE handle = nullptr;
  m_armed = notify(&handle, &m_overlapped) == ERROR_IO_PENDING;
}
