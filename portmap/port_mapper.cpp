#include "portmap/port_mapper.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "portmap/pcp_client.h"
#include "portmap/upnp_wire.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace {

constexpr char kThreadName[] = "PortMap";
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;
// Any public address: the route toward it is the default route, when the table
// has no 0.0.0.0/0 entry of its own to read.
constexpr char kPublicAddress[] = "192.0.2.1";
constexpr DWORD kSearchMs = 3000;      // SSDP answers (MX 2) and the description
constexpr DWORD kRequestMs = 2000;     // one SOAP request, connect to last byte
constexpr DWORD kListMs = 30000;       // the whole list of one look
constexpr DWORD kSliceMs = 100;        // how often a request in flight sees a stop
constexpr DWORD kAddressCheckMs = 10000;  // our address read again (local, sends nothing)
constexpr int kNoSuchEntry = 714;

constexpr char kMsgMapped[] = "Port mapping: TCP %u -> %s:%u mapped on the gateway";
constexpr char kMsgRemoved[] = "Port mapping: TCP %u -> %s:%u removed from the gateway";
constexpr char kMsgRemoveFailed[] =
    "Port mapping: removing TCP %u -> %s:%u failed (%s); kept in the record, tried again";
constexpr char kMsgNoGateway[] = "Port mapping: no gateway found; looking again in %u s";
constexpr char kMsgRefused[] = "Port mapping: the gateway refused TCP %u -> %s:%u (HRESULT 0x%08lX)";
constexpr char kMsgConflict[] =
    "Port mapping: TCP %u is mapped to %s:%u by another machine; left alone, looking again "
    "in 20 minutes";
constexpr char kMsgAddressChanged[] = "Port mapping: our address changed from %s to %s; looking now";
constexpr char kMsgOff[] = "Port mapping off (%s)";
constexpr char kMsgUnavailable[] = "Port mapping is not available on this system (%s)";

struct Mapper {
  std::mutex mutex;
  PortMapStatus status;
  PortMappingSwitch last_switch = PortMappingSwitch::kOn;
  // The stop reads these without the mutex: at a DLL's process detach the thread
  // may have been ended while it held it.
  std::atomic<bool> started{false};
  std::atomic<bool> stopping{false};  // the end is asked for
  std::atomic<bool> cut{false};       // requests in flight give up
  zrvd::unique_handle thread_owner;   // the PortMap thread's own handle, once it runs
  std::atomic<HANDLE> thread{nullptr};
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
};

Mapper& State() {
  static Mapper mapper;
  return mapper;
}

bool Stopping() { return State().stopping.load(); }
bool Cut() { return State().cut.load(); }

// --- the engine key: the switch and the record ---------------------------------

PortMappingSwitch ReadSwitch() {
  char env[16] = {};
  const DWORD length = GetEnvironmentVariableA(kPortMappingEnv, env, sizeof(env));
  const bool env_set = length > 0 && length < sizeof(env);
  bool stored_off = false;
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
    DWORD value = 1;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    stored_off = RegQueryValueExA(key.get(), kPortMappingValue, nullptr, &type,
                                  reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                 type == REG_DWORD && size == sizeof(value) && value == 0;
  }
  return PortMappingSwitchOf(env_set ? env : nullptr, stored_off);
}

std::string ReadRecordText() {
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    return "";
  }
  char text[512] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(text) - 1;
  if (RegQueryValueExA(key.get(), kPortMappingRecordValue, nullptr, &type,
                       reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return "";
  }
  return std::string(text);
}

// True with `record` filled when the engine key holds a record of this method.
bool ReadRecord(MappingRecord* record) {
  return ParseMappingRecord(ReadRecordText(), record) && record->method == kMethodUpnp;
}

bool WriteRecord(const MappingRecord& record) {
  zrvd::unique_hkey key;
  if (RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::string text = FormatMappingRecord(record);
  return RegSetValueExA(key.get(), kPortMappingRecordValue, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// Clears the record only while it still names `record`: a daemon started while
// this one ends may have written its own already.
void ClearRecord(const MappingRecord& record) {
  if (ReadRecordText() != FormatMappingRecord(record)) return;
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
    RegDeleteValueA(key.get(), kPortMappingRecordValue);
  }
}

// The record as the PCP / NAT-PMP client reads and writes it.
const RecordStore& Store() {
  static const RecordStore store{ReadRecordText, WriteRecord, ClearRecord};
  return store;
}

// --- our address ------------------------------------------------------------------

// The address the router knows us by: the source address toward the next hop of
// the default route (0.0.0.0/0, lowest metric; else the route toward a public
// address). Not the multicast route: a VPN, host-only or Hyper-V adapter may hold
// the 224/4 route at a lower metric, and the router cannot reach its address.
// Connecting a UDP socket sends nothing.
std::string LocalAddress(in_addr* next_hop) {
  DWORD hop = 0;
  DWORD best_metric = 0xFFFFFFFFu;
  ULONG size = 0;
  if (GetIpForwardTable(nullptr, &size, TRUE) == ERROR_INSUFFICIENT_BUFFER && size > 0) {
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
    if (GetIpForwardTable(table, &size, TRUE) == NO_ERROR) {
      for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table->table[i];
        if (row.dwForwardDest == 0 && row.dwForwardMask == 0 && row.dwForwardNextHop != 0 &&
            row.dwForwardMetric1 < best_metric) {
          best_metric = row.dwForwardMetric1;
          hop = row.dwForwardNextHop;
        }
      }
    }
  }
  if (hop == 0) {
    MIB_IPFORWARDROW route{};
    if (GetBestRoute(inet_addr(kPublicAddress), 0, &route) == NO_ERROR) {
      hop = route.dwForwardNextHop;
    }
  }
  if (hop == 0) return "";
  next_hop->s_addr = hop;
  zrvd::unique_socket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!udp) return "";
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSsdpPort);
  to.sin_addr = *next_hop;
  sockaddr_in local{};
  int length = sizeof(local);
  if (connect(udp.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
      getsockname(udp.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_addr.s_addr == 0) {
    return "";
  }
  return inet_ntoa(local.sin_addr);
}

// --- the gateway: SSDP, HTTP and SOAP over our own sockets, every answer bounded ----

struct Gateway {
  HttpUrl control;
  std::string service_type;
  bool found = false;
};

// Waits until `socket` is ready or `deadline` (GetTickCount) passes; a stop ends it.
bool Ready(SOCKET s, bool write, DWORD deadline) {
  for (;;) {
    if (Cut()) return false;
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0) return false;
    const DWORD left = deadline - now;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors = set;
    timeval slice{0, static_cast<long>((left < kSliceMs ? left : kSliceMs) * 1000)};
    const int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &slice);
    if (n < 0 || FD_ISSET(s, &errors)) return false;
    if (n > 0) return true;
  }
}

// One HTTP exchange: the request out, at most kMaxUpnpAnswer bytes of answer in.
bool Exchange(const HttpUrl& url, const std::string& request, DWORD ms, std::string* answer) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(url.port);
  to.sin_addr.s_addr = inet_addr(url.host.c_str());
  if (to.sin_addr.s_addr == INADDR_NONE) return false;
  zrvd::unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s) return false;
  u_long nonblocking = 1;
  ioctlsocket(s.get(), FIONBIO, &nonblocking);
  const DWORD deadline = GetTickCount() + ms;
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    return false;
  }
  for (size_t sent = 0; sent < request.size();) {
    if (!Ready(s.get(), true, deadline)) return false;
    const int n = send(s.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (n <= 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (n > 0) sent += static_cast<size_t>(n);
  }
  answer->clear();
  char buffer[8192];
  while (answer->size() < kMaxUpnpAnswer && !HttpAnswerComplete(*answer)) {
    if (!Ready(s.get(), false, deadline)) return false;
    const int n = recv(s.get(), buffer, sizeof(buffer), 0);
    if (n == 0) break;
    if (n < 0) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
      break;
    }
    answer->append(buffer, static_cast<size_t>(n) < kMaxUpnpAnswer - answer->size()
                               ? static_cast<size_t>(n)
                               : kMaxUpnpAnswer - answer->size());
  }
  return !answer->empty();
}

// The SSDP search, sent from our address on the router's network (the multicast
// route may point elsewhere) and to the next hop itself; the first gateway that
// answers with a description naming a WAN connection service.
Gateway Search(const std::string& local, in_addr next_hop) {
  Gateway gateway;
  zrvd::unique_socket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!udp) return gateway;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = inet_addr(local.c_str());
  bind(udp.get(), reinterpret_cast<sockaddr*>(&from), sizeof(from));
  in_addr interface_address = from.sin_addr;
  setsockopt(udp.get(), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&interface_address),
             sizeof(interface_address));
  DWORD ttl = 2;
  setsockopt(udp.get(), IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl),
             sizeof(ttl));
  const std::string request = SsdpSearchRequest();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSsdpPort);
  for (in_addr target : {in_addr{}, next_hop}) {
    to.sin_addr = target;
    if (target.s_addr == 0) to.sin_addr.s_addr = inet_addr(kSsdpGroup);
    sendto(udp.get(), request.data(), static_cast<int>(request.size()), 0,
           reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }
  const DWORD deadline = GetTickCount() + kSearchMs;
  std::vector<char> buffer(4096);
  while (Ready(udp.get(), false, deadline)) {
    const int n = recv(udp.get(), buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n <= 0) continue;
    HttpUrl where;
    if (!ParseHttpUrl(SsdpLocation(std::string(buffer.data(), static_cast<size_t>(n))), &where)) {
      continue;
    }
    std::string answer;
    const std::string get = "GET " + where.path + " HTTP/1.1\r\nHost: " + where.host + ":" +
                            std::to_string(where.port) + "\r\nConnection: close\r\n\r\n";
    IgdService service;
    if (!Exchange(where, get, kRequestMs, &answer) || ParseHttpAnswer(answer).status != 200 ||
        !FindIgdService(ParseHttpAnswer(answer).body, &service) ||
        !ControlUrl(where, service.control_url, &gateway.control)) {
      continue;
    }
    gateway.service_type = service.service_type;
    gateway.found = true;
    break;
  }
  return gateway;
}

using Args = std::vector<std::pair<std::string, std::string>>;

// One SOAP action; false when the gateway did not answer at all.
bool Soap(const Gateway& gateway, const char* action, const Args& args, HttpAnswer* answer,
          DWORD ms = kRequestMs) {
  std::string bytes;
  const std::string body = SoapBody(gateway.service_type, action, args);
  if (!Exchange(gateway.control, SoapRequest(gateway.control, gateway.service_type, action, body),
                ms, &bytes)) {
    return false;
  }
  *answer = ParseHttpAnswer(bytes);
  return answer->status != 0;
}

// The router's list, at most kMaxRouterEntries entries within kListMs; false when
// it could not be read (the look then fails and is tried again soon).
bool ListMappings(const Gateway& gateway, std::vector<RouterMapping>* list) {
  const DWORD deadline = GetTickCount() + kListMs;
  for (size_t index = 0; index < kMaxRouterEntries; ++index) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0 || Stopping()) return false;
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

// Removes TCP `port`; true once the router no longer holds it (removed, or none there).
bool RemoveMapping(const Gateway& gateway, uint16_t port, const std::string& address) {
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
  LogInfo(kMsgRemoveFailed, port, address.c_str(), port,
          answered ? ("HTTP " + std::to_string(answer.status)).c_str() : "no answer");
  return false;
}

// UPnP's own error, or E_FAIL when there was none to read; shown as an HRESULT.
uint32_t Refusal(const HttpAnswer& answer) {
  const int code = UpnpErrorCode(answer.body);
  return code > 0 ? 0x80040000u | static_cast<uint32_t>(code) : 0x80004005u;
}

// Maps TCP status->port to status->internal_address and sets the state it ends in.
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

// What the router holds on the recorded port: ours still, nothing or another's
// (the record can go), or no answer.
enum class RecordedEntry { kOurs, kGone, kUnknown };
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

// --- the thread's state and its looks -------------------------------------------

void SetStatus(const PortMapStatus& status) {
  Mapper& mapper = State();
  std::lock_guard<std::mutex> lock(mapper.mutex);
  mapper.status = status;
}

PortMapStatus StatusNow() {
  Mapper& mapper = State();
  std::lock_guard<std::mutex> lock(mapper.mutex);
  return mapper.status;
}

class PortMapThread : public IThreadHandler {
 public:
  explicit PortMapThread(uint16_t port) : m_port(port) {}
  void Release() override { delete this; }
  int32_t OnMessage(UINT, WPARAM, LPARAM) override { return 0; }
  int32_t Run() override;

 private:
  bool Look();
  bool RemoveRecorded(bool search);
  void Off(PortMappingSwitch why);
  bool Wait(DWORD ms);

  uint16_t m_port;
  std::string m_address;  // ours at the last look
  uint32_t m_hop = 0;     // the default gateway at the last look (host order)
  Gateway m_gateway;      // the one the last look found: the end removes through it
  uint32_t m_failures = 0;
  HANDLE m_addr_event = nullptr;  // NotifyAddrChange's, where the system signals it
  HANDLE m_notify = nullptr;
  OVERLAPPED m_changed{};
};

// One look: our address, the gateway, its list; what the record names and is not
// the mapping we want goes first; then ours is added (the record written before).
// True when it went through (a conflict too: that is for the player to settle).
bool PortMapThread::Look() {
  const PortMapStatus before = StatusNow();
  PortMapStatus status;
  status.port = m_port;
  in_addr hop{};
  status.internal_address = LocalAddress(&hop);
  m_address = status.internal_address;
  m_hop = ntohl(hop.s_addr);
  // A lease held is renewed where it was granted, without a search.
  if (LeaseHeld() && MapByLease(m_hop, m_port, &status, Stopping, Store())) {
    SetStatus(status);
    return status.state == PortMapState::kMapped;
  }
  Gateway gateway;
  if (!status.internal_address.empty()) gateway = Search(status.internal_address, hop);
  if (!gateway.found) {
    if (Stopping()) return false;
    // No UPnP: the default gateway may speak PCP or NAT-PMP.
    if (MapByLease(m_hop, m_port, &status, Stopping, Store())) {
      SetStatus(status);
      return status.state == PortMapState::kMapped;
    }
    status.state = PortMapState::kNoGateway;
    if (before.state != status.state) LogInfo(kMsgNoGateway, PortMappingRetrySeconds(m_failures + 1));
    SetStatus(status);
    return false;
  }
  m_gateway = gateway;
  status.gateway_found = true;
  status.protocol = MapProtocol::kUpnp;
  std::vector<RouterMapping> list;
  if (!ListMappings(gateway, &list)) {
    status.state = PortMapState::kRefused;
    status.error = 0x80004005u;
    SetStatus(status);
    return false;
  }
  MappingRecord record;
  // A lease (held, or left by an earlier run): UPnP answers now, so the lease goes.
  if (ParseMappingRecord(ReadRecordText(), &record) && record.method != kMethodUpnp) {
    ReleaseLease(m_hop, Store());
    if (ParseMappingRecord(ReadRecordText(), &record) && record.method != kMethodUpnp) return true;
  }
  const bool recorded = ReadRecord(&record);
  const MappingRecord wanted{kMethodUpnp, "TCP", m_port, status.internal_address, {}};
  const LookPlan plan = PlanLook(list, status.internal_address, m_port, recorded ? &record : nullptr);
  bool record_cleared = plan.record_gone;
  bool removed_all = true;
  std::vector<uint16_t> remove = plan.remove;
  // A list cut at the bound may not show the recorded mapping: asked for by its port.
  if (recorded && !(record == wanted) && !record_cleared &&
      std::find(remove.begin(), remove.end(), record.port) == remove.end()) {
    const RecordedEntry entry = AskRecorded(gateway, record);
    if (entry == RecordedEntry::kOurs) remove.push_back(record.port);
    record_cleared = entry == RecordedEntry::kGone;
  }
  for (uint16_t stale : remove) {
    const bool gone = RemoveMapping(gateway, stale, recorded && stale == record.port
                                                        ? record.address
                                                        : status.internal_address);
    removed_all = removed_all && gone;
    if (gone && recorded && stale == record.port) record_cleared = true;
  }
  if (recorded && record_cleared) ClearRecord(record);
  HttpAnswer got;
  if (Soap(gateway, "GetExternalIPAddress", {}, &got) && got.status == 200) {
    status.external_address = XmlElement(got.body, "NewExternalIPAddress");
  }
  // The record holds one mapping: while the one it names is not removed, no other is made.
  const bool record_blocks = recorded && !record_cleared && !(record == wanted);
  if (plan.conflict) {
    status.state = PortMapState::kConflict;
    status.holder = plan.holder;
    LogInfo(kMsgConflict, m_port, plan.holder.internal_client.c_str(), plan.holder.internal_port);
  } else if (plan.present && !record_blocks) {
    if (!(recorded && record == wanted)) WriteRecord(wanted);
    status.state = PortMapState::kMapped;
  } else if (record_blocks || Stopping()) {
    status.state = PortMapState::kRefused;
    status.error = 0x80004005u;
  } else if (!WriteRecord(wanted)) {
    status.state = PortMapState::kRefused;
    status.error = 0x80070005u;
  } else {
    // A refusal leaves the record: the next look clears it if the router shows nothing.
    AddMapping(gateway, &status);
    // A gateway that answered with an error of its own made nothing (0x80004005 is
    // our "no answer"): PCP or NAT-PMP may do better.
    if (status.state == PortMapState::kRefused && status.error != 0x80004005u) {
      ClearRecord(wanted);
      PortMapStatus leased = status;
      if (MapByLease(m_hop, m_port, &leased, Stopping, Store())) status = leased;
    }
  }
  SetStatus(status);
  return removed_all && (status.state == PortMapState::kMapped ||
                         status.state == PortMapState::kConflict);
}

// What the record names goes, without the list: at the end through the gateway of
// the last look (no search), with the setting off after a search of its own.
bool PortMapThread::RemoveRecorded(bool search) {
  MappingRecord record;
  if (!ReadRecord(&record)) return true;
  if (search) {
    in_addr hop{};
    const std::string local = LocalAddress(&hop);
    const Gateway found = local.empty() ? Gateway{} : Search(local, hop);
    if (found.found) m_gateway = found;  // else the last one known, which the end uses too
  }
  if (!m_gateway.found) return false;
  if (!search) State().cut = false;  // the end's one request is not to be cut short
  const bool gone = RemoveMapping(m_gateway, record.port, record.address);
  if (gone) ClearRecord(record);
  return gone;
}

// The default route's next hop now (host order); 0 when there is none.
uint32_t CurrentHop() {
  in_addr hop{};
  return LocalAddress(&hop).empty() ? 0 : ntohl(hop.s_addr);
}

void PortMapThread::Off(PortMappingSwitch why) {
  // The setting off still removes what we hold; the environment's switch sends nothing.
  if (why == PortMappingSwitch::kOffBySetting) ReleaseLease(CurrentHop(), Store());
  if (why == PortMappingSwitch::kOffBySetting && !RemoveRecorded(true)) ++m_failures;
  else m_failures = 0;
  in_addr hop{};
  m_address = LocalAddress(&hop);  // a change seen while off is not news
  PortMapStatus off;
  off.state = PortMapState::kOff;
  off.off_by = why;
  off.port = m_port;
  const PortMapStatus before = StatusNow();
  if (before.state != PortMapState::kOff || before.off_by != why) {
    LogInfo(kMsgOff, why == PortMappingSwitch::kOffByEnvironment ? "ZRVD_PORT_MAPPING=0"
                                                                 : "PortMapping = 0");
  }
  SetStatus(off);
}

// Sleeps until the next look is due, the setting changes, a stop, or our address
// changes (NotifyAddrChange where the system signals it; a local check every
// kAddressCheckMs everywhere). True when woken for an address change.
bool PortMapThread::Wait(DWORD ms) {
  Mapper& mapper = State();
  const DWORD deadline = GetTickCount() + ms;
  for (;;) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0) return false;
    const DWORD left = deadline - now;
    HANDLE events[2] = {mapper.wake.get(), m_addr_event};
    const DWORD got = WaitForMultipleObjects(m_addr_event ? 2 : 1, events, FALSE,
                                             left < kAddressCheckMs ? left : kAddressCheckMs);
    if (got == WAIT_OBJECT_0) return false;
    if (got == WAIT_OBJECT_0 + 1) NotifyAddrChange(&m_notify, &m_changed);  // armed again
    in_addr hop{};
    const std::string now_address = LocalAddress(&hop);
    if (now_address != m_address) {
      LogInfo(kMsgAddressChanged, m_address.empty() ? "none" : m_address.c_str(),
              now_address.empty() ? "none" : now_address.c_str());
      m_address = now_address;
      return true;
    }
  }
}

int32_t PortMapThread::Run() {
  Mapper& mapper = State();
  {
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                    SYNCHRONIZE, FALSE, 0);
    std::lock_guard<std::mutex> lock(mapper.mutex);
    mapper.thread_owner.reset(self);
    mapper.thread = self;
  }
  WSADATA wsa;
  const bool wsa_started = WSAStartup(MAKEWORD(2, 0), &wsa) == 0;
  zrvd::unique_handle addr_event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  m_changed.hEvent = addr_event.get();
  if (addr_event && NotifyAddrChange(&m_notify, &m_changed) == ERROR_IO_PENDING) {
    m_addr_event = addr_event.get();
  }
  while (!Stopping()) {
    const PortMappingSwitch now = ReadSwitch();
    {
      std::lock_guard<std::mutex> lock(mapper.mutex);
      mapper.last_switch = now;
    }
    if (now == PortMappingSwitch::kOn) {
      m_failures = Look() ? 0 : m_failures + 1;
    } else {
      Off(now);
    }
    if (Stopping()) break;
    // An address change: the next look at once (it keeps the new address's mapping only).
    Wait(LeaseSleepMs(m_failures ? PortMappingRetrySeconds(m_failures) * 1000
                                 : kPortMappingLookSeconds * 1000));
  }
  // The end: one request through the last look's gateway (an environment switch
  // off sends nothing); a failure leaves the record for the next run's first look.
  if (ReadSwitch() != PortMappingSwitch::kOffByEnvironment) {
    RemoveRecorded(false);
    ReleaseLease(m_hop, Store());
  }
  if (m_addr_event) CancelIPChangeNotify(&m_changed);
  if (wsa_started) WSACleanup();
  return 0;
}

const char* WhyUnavailable() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    return "not supported on the Windows 9x family";
  }
  return nullptr;
}

}  // namespace

void StartPortMapping(IThreadManager* manager, uint16_t port) {
  Mapper& mapper = State();
  {
    std::lock_guard<std::mutex> lock(mapper.mutex);
    if (mapper.started || manager == nullptr) return;
    mapper.status.port = port;
  }
  if (const char* why = WhyUnavailable()) {
    LogInfo(kMsgUnavailable, why);
    PortMapStatus status;
    status.state = PortMapState::kUnavailable;
    status.port = port;
    SetStatus(status);
    return;
  }
  auto* handler = new PortMapThread(port);
  IThread* thread = manager->NewThread(handler, kThreadName, true, 0);
  if (thread == nullptr) {
    handler->Release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mapper.mutex);
    mapper.started = true;
  }
  if (thread->Start() != 0) {
    std::lock_guard<std::mutex> lock(mapper.mutex);
    mapper.started = false;
  }
}

void PortMappingSettingsChanged() {
  Mapper& mapper = State();
  {
    std::lock_guard<std::mutex> lock(mapper.mutex);
    if (!mapper.started || mapper.stopping) return;
  }
  const PortMappingSwitch now = ReadSwitch();
  std::lock_guard<std::mutex> lock(mapper.mutex);
  if (now == mapper.last_switch) return;
  mapper.last_switch = now;
  SetEvent(mapper.wake.get());
}

void* AskPortMappingToStop() {
  Mapper& mapper = State();
  if (!mapper.started) return nullptr;
  if (!mapper.stopping.exchange(true)) {
    mapper.cut = true;
    SetEvent(mapper.wake.get());
  }
  // The thread itself, not an event it would set: one that no longer runs (ended,
  // or terminated before a DLL's process detach) is waited for not at all.
  return mapper.thread.load();
}

void StopPortMapping(uint32_t wait_ms) {
  if (const HANDLE thread = AskPortMappingToStop()) WaitForSingleObject(thread, wait_ms);
}

PortMapStatus ReadPortMapStatus() { return StatusNow(); }
