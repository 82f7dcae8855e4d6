// The PortMap thread: its looks, its sleep between them, the switch and the end.
#include "portmap/port_mapper.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "portmap/lease_rules.h"
#include "portmap/local_route.h"
#include "portmap/map_flags.h"
#include "portmap/mapping_record_store.h"
#include "portmap/pcp_client.h"
#include "portmap/ssdp_search.h"
#include "portmap/upnp_session.h"
#include "portmap/upnp_wire.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace {

constexpr char kThreadName[] = "PortMap";
constexpr DWORD kAddressCheckMs = 10000;  // our address read again (local, sends nothing)
constexpr char kMsgNoGateway[] = "Port mapping: no gateway found; looking again in %u s";
constexpr char kMsgConflict[] =
    "Port mapping: TCP %u is mapped to %s:%u by another machine; left alone, looking again "
    "in 20 minutes";
constexpr char kMsgMapped[] = "Port mapping: TCP %u -> %s:%u mapped on the gateway";
constexpr char kMsgOtherGateway[] =
    "Port mapping: the record names TCP %u -> %s:%u on another gateway (%s); its lease ends "
    "by itself there: forgotten";
constexpr char kMsgUnreadable[] = "Port mapping: the record \"%s\" cannot be read; cleared";
constexpr char kMsgAddressChanged[] = "Port mapping: our address changed from %s to %s; looking now";
constexpr char kMsgOff[] = "Port mapping off (%s)";
constexpr char kMsgUnavailable[] = "Port mapping is not available on this system (%s)";

struct Mapper {
  std::mutex mutex;
  PortMapStatus status;
  PortMappingSwitch last_switch = PortMappingSwitch::kOn;
  // The stop reads this without the mutex: at a DLL's process detach the thread
  // may have been ended while it held it.
  std::atomic<bool> started{false};
  zrvd::unique_handle thread_owner;   // the PortMap thread's own handle, once it runs
  std::atomic<HANDLE> thread{nullptr};
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
};

Mapper& State() {
  static Mapper mapper;
  return mapper;
}

bool Stopping() { return PortMapStopping(); }

// --- the engine key: the switch ---------------------------------------------------

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

// Asks for `wanted` with a lease (the record written first, naming the gateway and
// the lease's end), or permanently where the router grants nothing else (725).
// `present`: the router lists it already, and this renews it.
void MapUpnp(const Gateway& gateway, MappingRecord wanted, bool present, PortMapStatus* status) {
  if (!WriteRecord(wanted)) {
    status->state = PortMapState::kRefused;
    status->error = 0x80070005u;
    return;
  }
  if (AddMapping(gateway, kUpnpLeaseSeconds, status)) {
    wanted.extra.back() = "0";
    if (WriteRecord(wanted)) AddMapping(gateway, 0, status);
  }
  if (status->state == PortMapState::kMapped) {
    if (!present) LogInfo(kMsgMapped, status->port, status->internal_address.c_str(), status->port);
    return;
  }
  if (present) {
    // The renewal was refused: the mapping stands until its lease ends; tried again soon.
    status->state = PortMapState::kMapped;
    return;
  }
  // A gateway that answered with an error of its own made nothing: PCP or NAT-PMP
  // may do better. Unanswered, the record stays: the request may have gone through.
  if (status->error != kNoAnswer) ClearRecord(wanted);
}

// A record this version cannot act on would block every method for good.
void ForgetUnreadableRecord() {
  const std::string text = ReadRecordText();
  if (text.empty() || RecordReadable(text)) return;
  LogInfo(kMsgUnreadable, ShownText(text).c_str());
  ClearRecordText(text);
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
  ForgetUnreadableRecord();
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
  uint32_t list_error = 0;
  if (!ListMappings(gateway, &list, &list_error)) {
    status.state = PortMapState::kRefused;
    status.error = list_error;
    SetStatus(status);
    return false;
  }
  MappingRecord record;
  // A lease (held, or left by an earlier run): UPnP answers now, so the lease goes.
  if (ParseMappingRecord(ReadRecordText(), &record) && record.method != kMethodUpnp) {
    ReleaseLease(m_hop, Store());
    if (ParseMappingRecord(ReadRecordText(), &record) && record.method != kMethodUpnp) {
      status.state = PortMapState::kRefused;
      status.error = kNoAnswer;
      status.why = "the lease TCP " + std::to_string(record.port) + " -> " + record.address +
                   " is not yet deleted";
      SetStatus(status);
      return false;
    }
  }
  bool recorded = ReadRecord(&record);
  std::string record_gateway;
  uint64_t record_end = 0;
  if (recorded) ReadUpnpRecord(record, &record_gateway, &record_end);
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  // Only the gateway the mapping is on can say it is gone. A lease there ends by
  // itself; a permanent mapping there waits for that network.
  if (recorded && !record_gateway.empty() && record_gateway != gateway.control.host) {
    if (record_end == 0) {
      status.state = PortMapState::kRefused;
      status.error = 0x80004005u;
      status.why = "the record names a permanent mapping on the gateway " +
                   ShownText(record_gateway) + ", not yet removed";
      SetStatus(status);
      return false;
    }
    LogInfo(kMsgOtherGateway, record.port, ShownText(record.address).c_str(), record.port,
            ShownText(record_gateway).c_str());
    ClearRecord(record);
    recorded = false;
  }
  const MappingRecord wanted =
      UpnpRecord(m_port, status.internal_address, gateway.control.host, now + kUpnpLeaseSeconds);
  const LookPlan plan = PlanLook(list, status.internal_address, m_port, recorded ? &record : nullptr);
  bool record_cleared = plan.record_gone;
  bool removed_all = true;
  std::vector<uint16_t> remove = plan.remove;
  // Not in the list (cut at the bound, or a router that lists only some): that entry is asked for.
  if (recorded && !SameMapping(record, wanted) && !record_cleared &&
      std::find(remove.begin(), remove.end(), record.port) == remove.end()) {
    const RecordedEntry entry = AskRecorded(gateway, record);
    if (entry == RecordedEntry::kOurs) remove.push_back(record.port);
    record_cleared = entry == RecordedEntry::kGone;
  }
  for (uint16_t stale : remove) {
    const bool gone = RemoveMapping(gateway, stale,
                                    recorded && stale == record.port ? record.address
                                                                     : status.internal_address,
                                    status.internal_address);
    removed_all = removed_all && gone;
    if (gone && recorded && stale == record.port) record_cleared = true;
  }
  if (recorded && record_cleared) ClearRecord(record);
  HttpAnswer got;
  if (Soap(gateway, "GetExternalIPAddress", {}, &got) && got.status == 200) {
    status.external_address = XmlElement(got.body, "NewExternalIPAddress");
  }
  // The record holds one mapping: while the one it names is not removed, no other is made.
  const bool record_blocks = recorded && !record_cleared && !SameMapping(record, wanted);
  // A router that granted only a permanent mapping (recorded with end 0) is not asked again.
  const bool permanent = recorded && SameMapping(record, wanted) && !record_gateway.empty() &&
                         record_end == 0;
  if (plan.conflict) {
    status.state = PortMapState::kConflict;
    status.holder = plan.holder;
    LogInfo(kMsgConflict, m_port, ShownText(plan.holder.internal_client).c_str(),
            plan.holder.internal_port);
  } else if (record_blocks || Stopping()) {
    status.state = PortMapState::kRefused;
    status.error = 0x80004005u;
    if (record_blocks) {
      status.why = "the mapping TCP " + std::to_string(record.port) + " -> " + record.address +
                   " is not yet removed";
    }
  } else if (plan.present && permanent) {
    status.state = PortMapState::kMapped;
  } else {
    // Asked again while present too: that renews the lease.
    MapUpnp(gateway, wanted, plan.present, &status);
  }
  if (status.state == PortMapState::kRefused && status.error != kNoAnswer && !record_blocks &&
      !plan.present && !Stopping()) {
    PortMapStatus leased = status;
    if (MapByLease(m_hop, m_port, &leased, Stopping, Store())) status = leased;
  }
  SetStatus(status);
  return removed_all && (status.state == PortMapState::kMapped ||
                         status.state == PortMapState::kConflict);
}

// What the record names goes, without the list: at the end through the gateway of
// the last look (no search), with the setting off after a search of its own.
bool PortMapThread::RemoveRecorded(bool search) {
  MappingRecord record;
  if (search ? !ReadRecord(&record) : !ReadOwnedRecord(&record)) return true;
  if (search) {
    in_addr hop{};
    const std::string local = LocalAddress(&hop);
    const Gateway found = local.empty() ? Gateway{} : Search(local, hop);
    if (found.found) m_gateway = found;  // else the last one known, which the end uses too
  }
  if (!m_gateway.found) return false;
  if (!search) UncutPortMap();  // the end's one request is not to be cut short
  const bool gone = RemoveMapping(m_gateway, record.port, record.address, m_address);
  if (gone) ClearRecord(record);
  return gone;
}

// The default route's next hop now (host order); 0 when there is none.
uint32_t CurrentHop() {
  in_addr hop{};
  return LocalAddress(&hop).empty() ? 0 : ntohl(hop.s_addr);
}

void PortMapThread::Off(PortMappingSwitch why) {
  if (why == PortMappingSwitch::kOffBySetting) ForgetUnreadableRecord();
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
    ReleaseLease(m_hop, OwnedStore());
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
    if (!mapper.started || PortMapStopping()) return;
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
  if (AskPortMapEnd()) SetEvent(mapper.wake.get());
  // The thread itself, not an event it would set: one that no longer runs (ended,
  // or terminated before a DLL's process detach) is waited for not at all.
  return mapper.thread.load();
}

void StopPortMapping(uint32_t wait_ms) {
  if (const HANDLE thread = AskPortMappingToStop()) WaitForSingleObject(thread, wait_ms);
}

PortMapStatus ReadPortMapStatus() { return StatusNow(); }
