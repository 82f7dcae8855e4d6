// The SOAP actions of one look: the list, the removal, the mapping, one entry.
#include "portmap/upnp_session.h"

#include <windows.h>

#include "portmap/map_flags.h"
#include "runtime/log.h"

namespace {

constexpr DWORD kListMs = 30000;  // the whole list of one look
constexpr int kNoSuchEntry = 714;

constexpr char kMsgMapped[] = "Port mapping: TCP %u -> %s:%u mapped on the gateway";
constexpr char kMsgRemoved[] = "Port mapping: TCP %u -> %s:%u removed from the gateway";
constexpr char kMsgRemoveFailed[] =
    "Port mapping: removing TCP %u -> %s:%u failed (%s); kept in the record, tried again";
constexpr char kMsgNotOurs[] =
    "Port mapping: the gateway does not let %s remove TCP %u -> %s:%u (not authorized); "
    "that address is no longer ours: the record forgets it";
constexpr char kMsgRefused[] = "Port mapping: the gateway refused TCP %u -> %s:%u (HRESULT 0x%08lX)";

// UPnP's own error, or E_FAIL when there was none to read; shown as an HRESULT.
uint32_t Refusal(const HttpAnswer& answer) {
  const int code = UpnpErrorCode(answer.body);
  return code > 0 ? 0x80040000u | static_cast<uint32_t>(code) : 0x80004005u;
}

}  // namespace

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

bool ListMappings(const Gateway& gateway, std::vector<RouterMapping>* list) {
  const DWORD deadline = GetTickCount() + kListMs;
  for (size_t index = 0; index < kMaxRouterEntries; ++index) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0 || PortMapStopping()) return false;
    HttpAnswer answer;
    if (!Soap(gateway, "GetGenericPortMappingEntry",
              {{"NewPortMappingIndex", std::to_string(index)}}, &answer,
              deadline - now < kRequestMs ? deadline - now : kRequestMs)) {
      return false;
    }
    // 713 (no such index) ends miniupnpd's list; any answer but an entry ends any list.
    if (answer.status != 200) return true;
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
    LogInfo(kMsgRemoved, port, address.c_str(), port);
    return true;
  }
  if (answered && UpnpErrorCode(answer.body) == kNoSuchEntry) return true;
  if (answered && RemovalRefusalIsFinal(answer.status, UpnpErrorCode(answer.body), address, ours)) {
    LogInfo(kMsgNotOurs, ours.c_str(), port, address.c_str(), port);
    return true;
  }
  LogInfo(kMsgRemoveFailed, port, address.c_str(), port,
          answered ? ("HTTP " + std::to_string(answer.status)).c_str() : "no answer");
  return false;
}

void AddMapping(const Gateway& gateway, PortMapStatus* status) {
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
                              {"NewLeaseDuration", "0"}},
                             &answer);
  if (answered && answer.status == 200) {
    status->state = PortMapState::kMapped;
    LogInfo(kMsgMapped, port, status->internal_address.c_str(), port);
    return;
  }
  status->state = PortMapState::kRefused;
  status->error = answered ? Refusal(answer) : 0x80004005u;
  LogInfo(kMsgRefused, port, status->internal_address.c_str(), port,
          static_cast<unsigned long>(status->error));
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
    return IsOurDescription(ParseMappingEntry(entry.body).description) ? RecordedEntry::kOurs
                                                                        : RecordedEntry::kGone;
  }
  return UpnpErrorCode(entry.body) == kNoSuchEntry ? RecordedEntry::kGone
                                                   : RecordedEntry::kUnknown;
}
