// The SSDP search for the gateway's WAN connection service.
#pragma once

#include <winsock2.h>

#include <string>

#include "portmap/upnp_wire.h"

struct Gateway {
  HttpUrl control;
  std::string service_type;
  bool found = false;
};

// Searches from `local` (our address on the router's network) to the group and
// to `next_hop`; the first gateway that answers with a WAN connection service.
// Only `next_hop` is heard, and only a description and control URL at its address.
Gateway Search(const std::string& local, in_addr next_hop);
