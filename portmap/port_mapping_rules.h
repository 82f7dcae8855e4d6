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

// What one look does, given the router's list, our address on its network and
// the peer port (the same number outside and inside).
struct LookPlan {
  // External TCP ports of mappings of ours that are not the one we want: left
  // by an earlier run that ended without cleaning up.
  std::vector<uint16_t> remove;
  bool present = false;    // the mapping we want is there already
  bool conflict = false;   // the port is mapped to someone else: logged, not fought
  RouterMapping holder;    // who holds it, when conflict
  bool add = false;
};
LookPlan PlanLook(const std::vector<RouterMapping>& mappings, const std::string& address,
                  uint16_t port);

enum class PortMapState {
  kStarting,     // no look yet
  kOff,          // the setting or the environment
  kUnavailable,  // the system has no hnetcfg.dll (the 9x family)
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
};

// "mapped", "off", "no_gateway", ...
const char* PortMapStateName(PortMapState state);
// The status view's "port_mapping" object, and its table text.
std::string FormatPortMapJson(const PortMapStatus& status);
std::string FormatPortMapText(const PortMapStatus& status);
