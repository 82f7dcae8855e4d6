#include "portmap/port_mapping_rules.h"

#include <cstdio>

#include "runtime/host_setting.h"
#include "runtime/json_text.h"

namespace {

constexpr char kDescriptionPrefix[] = "zrvd ";

std::string Hresult(uint32_t error) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(error));
  return text;
}

std::string Endpoint(const std::string& address, uint16_t port) {
  return address + ":" + std::to_string(port);
}

// Why there is no mapping, in words; empty when there is one or no look yet.
std::string Reason(const PortMapStatus& s) {
  switch (s.state) {
    case PortMapState::kOff:
      return s.off_by == PortMappingSwitch::kOffByEnvironment
                 ? std::string(kPortMappingEnv) + "=0"
                 : std::string(kPortMappingValue) + " = 0";
    case PortMapState::kUnavailable:
      return "not available on this system";
    case PortMapState::kNoGateway:
      return "no gateway found";
    case PortMapState::kRefused:
      if (!s.why.empty()) return ShownText(s.why);
      if (!s.refusal.empty()) {
        return std::string("refused by the gateway (") +
               (s.protocol == MapProtocol::kPcp ? "PCP " : "NAT-PMP ") + s.refusal + ")";
      }
      return "refused by the gateway (HRESULT " + Hresult(s.error) + ")";
    case PortMapState::kConflict:
      return "TCP " + std::to_string(s.port) + " is mapped to " +
             Endpoint(ShownText(s.holder.internal_client), s.holder.internal_port);
    default:
      return "";
  }
}

uint16_t ExternalPort(const PortMapStatus& s) {
  return s.external_port != 0 ? s.external_port : s.port;
}

bool Leased(const PortMapStatus& s) {
  return s.protocol == MapProtocol::kPcp || s.protocol == MapProtocol::kNatPmp;
}

}  // namespace

const char* MapProtocolName(MapProtocol protocol) {
  switch (protocol) {
    case MapProtocol::kUpnp: return "upnp";
    case MapProtocol::kPcp: return "pcp";
    case MapProtocol::kNatPmp: return "nat-pmp";
    case MapProtocol::kNone: break;
  }
  return nullptr;
}

PortMappingSwitch PortMappingSwitchOf(const char* env, bool stored_off) {
  if (env && std::string(env) == "0") return PortMappingSwitch::kOffByEnvironment;
  return stored_off ? PortMappingSwitch::kOffBySetting : PortMappingSwitch::kOn;
}

std::string PortMappingDescription(uint16_t port) {
  return kDescriptionPrefix + std::to_string(port);
}

bool IsOurDescription(const std::string& description) {
  const std::string prefix = kDescriptionPrefix;
  if (description.size() <= prefix.size() || description.size() > prefix.size() + 5 ||
      description.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < description.size(); ++i) {
    if (description[i] < '0' || description[i] > '9') return false;
  }
  return true;
}

uint32_t PortMappingRetrySeconds(uint32_t failures) {
  uint32_t seconds = 60;
  for (uint32_t i = 1; i < failures && seconds < kPortMappingLookSeconds; ++i) seconds *= 2;
  return seconds < kPortMappingLookSeconds ? seconds : kPortMappingLookSeconds;
}

std::string RouterText(const std::string& text) {
  return text.size() > kMaxRouterText ? text.substr(0, kMaxRouterText) : text;
}

std::string ShownText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

std::string FormatMappingRecord(const MappingRecord& r) {
  std::string text = r.method + " " + r.protocol + " " + std::to_string(r.port) + " " + r.address;
  for (const std::string& field : r.extra) text += " " + field;
  return text;
}

bool ParseMappingRecord(const std::string& text, MappingRecord* record) {
  std::vector<std::string> fields;
  size_t at = 0;
  while (at < text.size() && fields.size() <= 16) {
    const size_t end = text.find(' ', at);
    const std::string field = text.substr(at, end == std::string::npos ? end : end - at);
    if (field.empty()) return false;  // two spaces, or one at either end
    fields.push_back(field);
    if (end == std::string::npos) break;
    at = end + 1;
    if (at == text.size()) return false;
  }
  if (fields.size() < 4 || fields.size() > 16) return false;
  for (size_t i = 0; i < 2; ++i) {
    for (char c : fields[i]) {
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
  }
  uint16_t port = 0;
  // One way to write each: no leading zero.
  if (fields[2][0] == '0' || !ParsePortText(fields[2], &port)) return false;
  MappingRecord r;
  r.method = fields[0];
  r.protocol = fields[1];
  r.port = port;
  r.address = fields[3];
  r.extra.assign(fields.begin() + 4, fields.end());
  *record = r;
  return true;
}

namespace {

// An entry whose port is not a port (read as 0) is nobody's.
bool Valid(const RouterMapping& m) { return m.external_port != 0 && m.internal_port != 0; }

}  // namespace

MappingRecord UpnpRecord(uint16_t port, const std::string& address, const std::string& gateway,
                         uint64_t lease_end) {
  return MappingRecord{kMethodUpnp, "TCP", port, address, {gateway, std::to_string(lease_end)}};
}

bool ReadUpnpRecord(const MappingRecord& record, std::string* gateway, uint64_t* lease_end) {
  if (record.method != kMethodUpnp) return false;
  if (record.extra.empty()) {
    gateway->clear();
    *lease_end = 0;
    return true;
  }
  const std::string& end = record.extra.size() == 2 ? record.extra[1] : std::string();
  if (end.empty() || end.size() > 19 || record.extra[0].empty()) return false;
  uint64_t value = 0;
  for (char c : end) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *gateway = record.extra[0];
  *lease_end = value;
  return true;
}

bool SameMapping(const MappingRecord& a, const MappingRecord& b) {
  return a.method == b.method && a.protocol == b.protocol && a.port == b.port &&
         a.address == b.address;
}

bool IsRecordedMapping(const RouterMapping& m, const MappingRecord& record) {
  return Valid(m) && m.protocol == record.protocol && m.external_port == record.port &&
         m.internal_client == record.address && m.internal_port == record.port &&
         (m.description.empty() || IsOurDescription(m.description));
}

namespace {

bool Recorded(const RouterMapping& m, const MappingRecord* record) {
  return record && IsRecordedMapping(m, *record);
}

}  // namespace

LookPlan PlanLook(const std::vector<RouterMapping>& mappings, const std::string& address,
                  uint16_t port, const MappingRecord* record) {
  LookPlan plan;
  bool record_seen = false;
  bool other_on_record_port = false;
  for (const RouterMapping& m : mappings) {
    if (m.protocol != "TCP") continue;
    const bool recorded = Recorded(m, record);
    record_seen = record_seen || recorded;
    other_on_record_port = other_on_record_port ||
                           (record && !recorded && m.external_port == record->port);
    const bool ours =
        recorded || (Valid(m) && IsOurDescription(m.description) && m.internal_client == address);
    if (m.external_port == port) {
      if (m.internal_client == address && m.internal_port == port) {
        plan.present = true;
      } else if (ours) {
        plan.remove.push_back(m.external_port);
      } else {
        plan.conflict = true;
        plan.holder = m;
      }
    } else if (ours) {
      plan.remove.push_back(m.external_port);
    }
  }
  plan.record_gone = record && !record_seen && other_on_record_port;
  plan.add = !plan.present && !plan.conflict;
  return plan;
}

bool RemovalRefusalIsFinal(int http_status, int upnp_error, const std::string& recorded_address,
                           const std::string& our_address) {
  const bool not_authorized =
      upnp_error == 606 || (upnp_error == 0 && (http_status == 401 || http_status == 403));
  return not_authorized && !our_address.empty() && recorded_address != our_address;
}

const char* PortMapStateName(PortMapState state) {
  switch (state) {
    case PortMapState::kStarting: return "starting";
    case PortMapState::kOff: return "off";
    case PortMapState::kUnavailable: return "unavailable";
    case PortMapState::kNoGateway: return "no_gateway";
    case PortMapState::kRefused: return "refused";
    case PortMapState::kConflict: return "conflict";
    case PortMapState::kMapped: return "mapped";
  }
  return "starting";
}

std::string FormatPortMapJson(const PortMapStatus& s) {
  const bool mapped = s.state == PortMapState::kMapped;
  const std::string reason = Reason(s);
  std::string out = std::string("{\"state\":") + JsonString(PortMapStateName(s.state)) +
                    ",\"gateway_found\":" + (s.gateway_found ? "true" : "false") + ",\"mapping\":";
  if (mapped) {
    out += "{\"external_port\":" + std::to_string(ExternalPort(s)) +
           ",\"internal_address\":" + JsonString(s.internal_address) +
           ",\"internal_port\":" + std::to_string(s.port) + "}";
  } else {
    out += "null";
  }
  out += ",\"external_address\":" + (s.external_address.empty()
                                         ? std::string("null")
                                         : JsonString(ShownText(s.external_address)));
  out += ",\"reason\":" + (reason.empty() ? std::string("null") : JsonString(reason));
  if (s.state == PortMapState::kRefused) {
    out += ",\"error\":" + JsonString(s.refusal.empty() ? Hresult(s.error) : s.refusal);
  }
  const char* protocol = MapProtocolName(s.protocol);
  out += ",\"protocol\":" + (protocol ? JsonString(protocol) : std::string("null"));
  if (Leased(s) && mapped) out += ",\"lease_ends\":" + JsonString(UtcText(s.lease_ends));
  return out + "}";
}

std::string FormatPortMapText(const PortMapStatus& s) {
  switch (s.state) {
    case PortMapState::kStarting:
      return "not yet";
    case PortMapState::kMapped: {
      std::string text = "TCP " + std::to_string(ExternalPort(s)) + " -> " +
                         Endpoint(s.internal_address, s.port) + " on the gateway";
      if (Leased(s)) {
        text += std::string(" (") + (s.protocol == MapProtocol::kPcp ? "PCP" : "NAT-PMP") +
                ", lease until " + UtcText(s.lease_ends) + ")";
      }
      if (!s.external_address.empty()) text += "; outside address " + ShownText(s.external_address);
      return text;
    }
    case PortMapState::kOff:
      return "off (" + Reason(s) + ")";
    default: {
      std::string text = "none: " + Reason(s);
      if (s.gateway_found && !s.external_address.empty()) {
        text += "; outside address " + ShownText(s.external_address);
      }
      return text;
    }
  }
}

std::string UtcText(uint64_t t) {
  // Days to a civil date (the proleptic Gregorian calendar, from 1970-01-01).
  const int64_t days = static_cast<int64_t>(t / 86400);
  const unsigned secs = static_cast<unsigned>(t % 86400);
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
  char text[32];
  std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                static_cast<long long>(year), month, day, secs / 3600, secs / 60 % 60, secs % 60);
  return text;
}
