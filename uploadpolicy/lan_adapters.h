// This machine's on-link prefixes, as Windows gives them, for the LAN test of
// peer_class.h; and a wake-up when an address changes.
#pragma once

#include <windows.h>

#include <vector>

#include "common/unique_any.h"
#include "uploadpolicy/peer_class.h"

// Each IPv4 address's on-link prefix (GetAdaptersAddresses, OnLinkPrefixLength),
// with what its adapter is; none when the adapters cannot be read.
std::vector<OnLinkPrefix> ReadOnLinkPrefixes();

// NotifyAddrChange, overlapped. Event() is signalled after a change and stays so
// until Rearm; null where the system has no such notice. Lives as long as the
// process once armed: the system writes into it.
class AddressChangeWatch {
 public:
  AddressChangeWatch();
  HANDLE Event() const { return m_armed ? m_event.get() : nullptr; }
  void Rearm();

 private:
  zrvd::unique_handle m_event;
  OVERLAPPED m_overlapped = {};
  bool m_armed = false;
};
