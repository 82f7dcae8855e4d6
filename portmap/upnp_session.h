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

// Why a request made nothing, as the status shows it (an HRESULT): no answer at
// all, an answer with UPnP's own error code, or an answer without one (its HTTP
// status, in the HTTP facility).
constexpr uint32_t kNoAnswer = 0x800705B4u;  // the Win32 time-out
uint32_t RefusalOf(int http_status, int upnp_error);

// The lease asked for; a router that grants only permanent mappings (725) gets
// one of those instead.
constexpr uint32_t kUpnpLeaseSeconds = 2 * 60 * 60;

// One SOAP action; false when the gateway did not answer at all.
bool Soap(const Gateway& gateway, const char* action, const Args& args, HttpAnswer* answer,
          DWORD ms = kRequestMs);

// The router's list, at most kMaxRouterEntries entries within kListMs; only
// "no such index" (713) ends it. False, with `error` set, when it could not be
// read whole (the look then fails and is tried again soon).
bool ListMappings(const Gateway& gateway, std::vector<RouterMapping>* list, uint32_t* error);

// Removes TCP `port` (mapped to `address`) asked from `ours`; true once the router
// no longer holds it (removed, or none there), or when it refused for good a
// mapping to an address no longer ours (logged; the mapping is left to its lease).
bool RemoveMapping(const Gateway& gateway, uint16_t port, const std::string& address,
                   const std::string& ours);

// Maps TCP status->port to status->internal_address for `lease` seconds (0:
// permanent) and sets the state it ends in. True when the gateway answered 725
// (only permanent leases): the caller asks again with 0.
bool AddMapping(const Gateway& gateway, uint32_t lease, PortMapStatus* status);

// What the router holds on the recorded port: ours still, nothing (714) or
// another client's (the record can go), or no answer or another error.
enum class RecordedEntry { kOurs, kGone, kUnknown };
RecordedEntry AskRecorded(const Gateway& gateway, const MappingRecord& record);
