// The SOAP actions one look sends to the gateway's WAN connection service.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "portmap/http_exchange.h"
#include "portmap/port_mapping_rules.h"
#include "portmap/ssdp_search.h"

using Args = std::vector<std::pair<std::string, std::string>>;

// One SOAP action; false when the gateway did not answer at all.
bool Soap(const Gateway& gateway, const char* action, const Args& args, HttpAnswer* answer,
          DWORD ms = kRequestMs);

// The router's list, at most kMaxRouterEntries entries within kListMs; false when
// it could not be read (the look then fails and is tried again soon).
bool ListMappings(const Gateway& gateway, std::vector<RouterMapping>* list);

// Removes TCP `port` (mapped to `address`) asked from `ours`; true once the router
// no longer holds it (removed, or none there), or when it refused for good a
// mapping to an address no longer ours (logged; the mapping is left to its lease).
bool RemoveMapping(const Gateway& gateway, uint16_t port, const std::string& address,
                   const std::string& ours);

// Maps TCP status->port to status->internal_address and sets the state it ends in.
void AddMapping(const Gateway& gateway, PortMapStatus* status);

// What the router holds on the recorded port: ours still, nothing or another's
// (the record can go), or no answer.
enum class RecordedEntry { kOurs, kGone, kUnknown };
RecordedEntry AskRecorded(const Gateway& gateway, const MappingRecord& record);
