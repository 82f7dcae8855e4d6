// The port mapping's decisions, apart from the gateway it talks to: whether to
// map at all, which of the router's mappings are ours, what one look does, and
// how the state reads in the status view. Portable: functions over values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// REG_DWORD in the engine key: absent or non-zero, on; 0, off.
constexpr char kPortMappingValue[] = "PortMapping";
// "0" switches mapping off whatever the registry says: test benches and managed
// machines whose SSDP search must not leave the host.
constexpr char kPortMappingEnv[] = "ZRVD_PORT_MAPPING";
// A router that restarted has lost the mapping; one look this often puts it back.
constexpr uint32_t kPortMappingLookSeconds = 20 * 60;

// After a failed look (no gateway, a refusal, a removal that did not go through):
// the next one after 1, 2, 4 ... minutes, never later than the rhythm above.
// `failures` counts the failed looks in a row, from 1.
uint32_t PortMappingRetrySeconds(uint32_t failures);

// What one look takes from a gateway, whoever answers as one on the LAN: at most
// this many entries of its list, texts cut at this many characters, and a port
// outside 1-65535 read as 0 (the entry is then nobody's: never ours, never ours
// to keep).
constexpr size_t kMaxRouterEntries = 1024;
constexpr size_t kMaxRouterText = 256;
std::string RouterText(const std::string& text);
// A router's text as the log and the console show it: control bytes as '?', so
// that none forges a line.
std::string ShownText(const std::string& text);

// REG_SZ in the engine key: what we asked a router for and have not yet seen
// removed. Written before the request, cleared only once the removal went
// through or the router shows the mapping gone; a run that ended without
// cleaning up (killed, crashed, the power cut) leaves it for the next run.
// Space-separated fields, the method first:
//   "upnp TCP <port> <internal address>"
//   "pcp TCP <port> <internal address> <nonce hex> <lease end>"  (method-specific
//   fields after the address are kept in `extra`, in order)
constexpr char kPortMappingRecordValue[] = "PortMappingRecord";
constexpr char kMethodUpnp[] = "upnp";
struct MappingRecord {
  std::string method;    // "upnp", "pcp"
  std::string protocol;  // "TCP"
  uint16_t port = 0;     // outside and inside
  std::string address;   // ours, as the router was told
  std::vector<std::string> extra;
  bool operator==(const MappingRecord& o) const {
    return method == o.method && protocol == o.protocol && port == o.port &&
           address == o.address && extra == o.extra;
  }
};
std::string FormatMappingRecord(const MappingRecord& record);
// False (and `record` untouched) for a text that is not one: empty, a field
// missing, a port outside 1-65535, a method or protocol not made of letters.
bool ParseMappingRecord(const std::string& text, MappingRecord* record);

enum class PortMappingSwitch { kOn, kOffByEnvironment, kOffBySetting };

// `env`: the variable's text, null when unset. `stored_off`: the engine key
// holds PortMapping as REG_DWORD 0.
PortMappingSwitch PortMappingSwitchOf(const char* env, bool stored_off);

// "zrvd 41813": names the product and the port, so that a later run can tell
// the mapping it left behind from those of other programs.
std::string PortMappingDescription(uint16_t port);
bool IsOurDescription(const std::string& description);

// One entry of the router's list, as the gateway reports it.
struct RouterMapping {
  uint16_t external_port = 0;
  std::string protocol;  // "TCP" or "UDP"
  std::string internal_client;
  uint16_t internal_port = 0;
  std::string description;
  std::string external_address;  // often empty
};

// UPnP's record: "upnp TCP <port> <our address> <gateway> <lease end>", the gateway
// the control URL's address, the end in Unix seconds (0: a permanent mapping, for
// routers that grant no other). A record of the previous form ("upnp TCP <port>
// <address>") names no gateway (any may clear it) and no end (permanent).
MappingRecord UpnpRecord(uint16_t port, const std::string& address, const std::string& gateway,
                         uint64_t lease_end);
// False for a UPnP record whose extra fields are neither none nor those two.
bool ReadUpnpRecord(const MappingRecord& record, std::string* gateway, uint64_t* lease_end);
// The same mapping: method, protocol, port and address (not the gateway or the lease).
bool SameMapping(const MappingRecord& a, const MappingRecord& b);

// The mapping the record names, as the router shows it: the recorded client
// address and port exactly, with our description or none (routers that keep none).
// Another machine's mapping on the same port is never ours to remove.
bool IsRecordedMapping(const RouterMapping& mapping, const MappingRecord& record);

// What one look does, given the router's list, our address on its network, the
// peer port (the same number outside and inside) and the record (null when
// there is none, or it is another method's).
struct LookPlan {
  // External TCP ports of mappings of ours that are not the one we want: the
  // recorded one (at the recorded address: ours before an address change), and
  // those left by an earlier run (same address, our description).
  std::vector<uint16_t> remove;
  // The router lists another mapping on the recorded port (another client or
  // inside port): ours is gone, the record can go. A list that merely lacks it
  // says nothing (the router may list only some, or keep no descriptions): that
  // one entry is asked for.
  bool record_gone = false;
  bool present = false;    // the mapping we want is there already
  bool conflict = false;   // the port is mapped to someone else: logged, not fought
  RouterMapping holder;    // who holds it, when conflict
  bool add = false;
};
LookPlan PlanLook(const std::vector<RouterMapping>& mappings, const std::string& address,
                  uint16_t port, const MappingRecord* record = nullptr);

// A removal the gateway refused because we are not authorized (UPnP 606, or an
// HTTP 401 / 403 without a UPnP code: routers that let a client remove only its
// own mappings) of a mapping to `recorded_address`, asked from `our_address`: when
// that address is no longer ours, no later look can do better. The mapping is
// left to its lease; the record goes.
bool RemovalRefusalIsFinal(int http_status, int upnp_error, const std::string& recorded_address,
                           const std::string& our_address);

enum class PortMapState {
  kStarting,     // no look yet
  kOff,          // the setting or the environment
  kUnavailable,  // not on this system (the 9x family)
  kNoGateway,
  kRefused,      // the gateway answered the request with an error
  kConflict,
  kMapped,
};

// How the mapping was asked for: UPnP first, then PCP, then NAT-PMP.
enum class MapProtocol { kNone, kUpnp, kPcp, kNatPmp };
const char* MapProtocolName(MapProtocol protocol);  // "upnp", "pcp", "nat-pmp"; null for none

struct PortMapStatus {
  PortMapState state = PortMapState::kStarting;
  PortMappingSwitch off_by = PortMappingSwitch::kOn;  // why, when kOff
  bool gateway_found = false;
  uint16_t port = 0;             // the peer port, outside and inside
  std::string internal_address;  // ours on the router's network
  std::string external_address;  // where the router reported one
  uint32_t error = 0;            // the HRESULT of a refusal
  RouterMapping holder;          // when kConflict
  MapProtocol protocol = MapProtocol::kNone;  // of the mapping, or of the refusal
  uint16_t external_port = 0;    // the one granted, when it is not `port`
  uint64_t lease_ends = 0;       // Unix seconds, for PCP and NAT-PMP
  std::string refusal;           // the result code's name, for PCP and NAT-PMP
  std::string why;               // why nothing is mapped, where no code says it
};

// "2026-12-07T22:41:05Z".
std::string UtcText(uint64_t unix_seconds);
// "mapped", "off", "no_gateway", ...
const char* PortMapStateName(PortMapState state);
// The status view's "port_mapping" object, and its table text.
std::string FormatPortMapJson(const PortMapStatus& status);
std::string FormatPortMapText(const PortMapStatus& status);
