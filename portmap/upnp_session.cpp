// The SOAP actions of one look: the list, the removal, the mapping, one entry.
#include "portmap/upnp_session.h"

#include <windows.h>

#include "portmap/map_flags.h"
#include "runtime/log.h"

namespace {

constexpr DWORD kListMs = 30000;  // the whole list of one look
constexpr int kNoSuchEntry = 714;

constexpr char kMsgRemoved[] = "Port mapping: TCP %u -> %s:%u removed from the gateway";
constexpr char kMsgRemoveFailed[] =
    "Port mapping: removing TCP %u -> %s:%u failed (%s); kept in the record, tried again";
constexpr char kMsgNotOurs[] =
    "Port mapping: the gateway does not let %s remove TCP %u -> %s:%u (not authorized); "
    "that address is no longer ours: the record forgets it";
constexpr char kMsgRefused[] = "Port mapping: the gateway refused TCP %u -> %s:%u (HRESULT 0x%08lX)";

constexpr int kNoSuchIndex = 713;
constexpr int kOnlyPermanentLeases = 725;

}  // namespace

uint32_t RefusalOf(int http_status, int upnp_error) {
  if (upnp_error > 0) return 0x80040000u | (static_cast<uint32_t>(upnp_error) & 0xFFFFu);
  return 0x80190000u | (static_cast<uint32_t>(http_status) & 0xFFFFu);
}

bool Soap(const Gateway& gateway, const char* action, const Args& args, HttpAnswer* answer,
          DWORD ms) {
  std::string bytes;
  const std::string body = SoapBody(gateway.service_type, action, args);
  if (!Exchange(gateway.control, SoapRequest(gateway.control, gateway.service_type, action, body),
                ms, &bytes)) {
    return false;
  }
  *answer = ParseHttpAnswer(bytes);
  return answer->status != 0;
}

bool ListMappings(const Gateway& gateway, std::vector<RouterMapping>* list, uint32_t* error) {
  const DWORD deadline = GetTickCount() + kListMs;
  *error = kNoAnswer;
  for (size_t index = 0; index < kMaxRouterEntries; ++index) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0 || PortMapStopping()) return false;
    HttpAnswer answer;
    if (!Soap(gateway, "GetGenericPortMappingEntry",
              {{"NewPortMappingIndex", std::to_string(index)}}, &answer,
              deadline - now < kRequestMs ? deadline - now : kRequestMs)) {
      return false;
    }
    if (answer.status != 200) {
      // Any other error leaves the rest unknown: a mapping of ours may be in it.
      const int code = UpnpErrorCode(answer.body);
      *error = RefusalOf(answer.status, code);
      return code == kNoSuchIndex;
    }
    list->push_back(ParseMappingEntry(answer.body));
  }
  return true;
}

bool RemoveMapping(const Gateway& gateway, uint16_t port, const std::string& address,
                   const std::string& ours) {
  HttpAnswer answer;
  const bool answered = Soap(gateway, "DeletePortMapping",
                             {{"NewRemoteHost", ""},
                              {"NewExternalPort", std::to_string(port)},
                              {"NewProtocol", "TCP"}},
                             &answer);
  if (answered && answer.status == 200) {
    LogInfo(kMsgRemoved, port, ShownText(address).c_str(), port);
    return true;
  }
  if (answered && UpnpErrorCode(answer.body) == kNoSuchEntry) return true;
  if (answered && RemovalRefusalIsFinal(answer.status, UpnpErrorCode(answer.body), address, ours)) {
    LogInfo(kMsgNotOurs, ours.c_str(), port, ShownText(address).c_str(), port);
    return true;
  }
  LogInfo(kMsgRemoveFailed, port, ShownText(address).c_str(), port,
          answered ? ("HTTP " + std::to_string(answer.status)).c_str() : "no answer");
  return false;
}

bool AddMapping(const Gateway& gateway, uint32_t lease, PortMapStatus* status) {
  const uint16_t port = status->port;
  HttpAnswer answer;
  const bool answered = Soap(gateway, "AddPortMapping",
                             {{"NewRemoteHost", ""},
                              {"NewExternalPort", std::to_string(port)},
                              {"NewProtocol", "TCP"},
                              {"NewInternalPort", std::to_string(port)},
                              {"NewInternalClient", status->internal_address},
                              {"NewEnabled", "1"},
                              {"NewPortMappingDescription", PortMappingDescription(port)},
                              {"NewLeaseDuration", std::to_string(lease)}},
                             &answer);
  if (answered && answer.status == 200) {
    status->state = PortMapState::kMapped;
    return false;
  }
  status->state = PortMapState::kRefused;
  const int code = answered ? UpnpErrorCode(answer.body) : 0;
  if (code == kOnlyPermanentLeases && lease != 0) return true;
  status->error = answered ? RefusalOf(answer.status, code) : kNoAnswer;
  LogInfo(kMsgRefused, port, status->internal_address.c_str(), port,
          static_cast<unsigned long>(status->error));
  return false;
}

RecordedEntry AskRecorded(const Gateway& gateway, const MappingRecord& record) {
  HttpAnswer entry;
  if (!Soap(gateway, "GetSpecificPortMappingEntry",
            {{"NewRemoteHost", ""}, {"NewExternalPort", std::to_string(record.port)},
             {"NewProtocol", record.protocol}},
            &entry)) {
    return RecordedEntry::kUnknown;
  }
  if (entry.status == 200) {
    // The answer names no outside port or protocol: they are the ones asked for.
    RouterMapping m = ParseMappingEntry(entry.body);
    if (m.internal_port == 0 || m.internal_client.empty()) return RecordedEntry::kUnknown;
    m.external_port = record.port;
    m.protocol = record.protocol;
    return IsRecordedMapping(m, record) ? RecordedEntry::kOurs : RecordedEntry::kGone;
  }
  return UpnpErrorCode(entry.body) == kNoSuchEntry ? RecordedEntry::kGone
                                                   : RecordedEntry::kUnknown;
}
