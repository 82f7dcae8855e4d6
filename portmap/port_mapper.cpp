#include "portmap/port_mapper.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <oleauto.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "portmap/natupnp_api.h"
#include "portmap/pcp_client.h"
#include "runtime/globals.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace {

using zrvd::com_ptr;
using zrvd::unique_bstr;

constexpr char kThreadName[] = "PortMap";
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;

constexpr char kMsgMapped[] = "Port mapping: TCP %u -> %s:%u mapped on the gateway";
constexpr char kMsgRemoved[] = "Port mapping: TCP %u -> %s:%u removed from the gateway";
constexpr char kMsgNoGateway[] = "Port mapping: no gateway found; looking again in 20 minutes";
constexpr char kMsgRefused[] = "Port mapping: the gateway refused TCP %u -> %s:%u (HRESULT 0x%08lX)";
constexpr char kMsgConflict[] =
    "Port mapping: TCP %u is mapped to %s:%u by another machine; left alone, looking again "
    "in 20 minutes";
constexpr char kMsgOff[] = "Port mapping off (%s)";
constexpr char kMsgUnavailable[] = "Port mapping is not available on this system (%s)";

struct Mapper {
  std::mutex mutex;
  PortMapStatus status;
  PortMappingSwitch last_switch = PortMappingSwitch::kOn;
  bool started = false;
  bool stopping = false;
  // The mapping this run made or found, while the router holds it.
  bool held = false;
  std::string held_address;
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  zrvd::unique_handle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

Mapper& State() {
  static Mapper mapper;
  return mapper;
}

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

// The address the router knows us by: the source address the system picks for
// a datagram toward the gateway, i.e. the next hop of the route the SSDP search
// takes (the group itself when the route table names no gateway). Connecting a
// UDP socket sends nothing. With several adapters (VPN, virtual switches) this
// is the one on the router's network, which the first adapter need not be.
std::string LocalAddressTowardGateway() {
  in_addr target{};
  target.s_addr = inet_addr(kSsdpGroup);
  MIB_IPFORWARDROW route{};
  if (GetBestRoute(target.s_addr, 0, &route) == NO_ERROR && route.dwForwardNextHop != 0) {
    target.s_addr = route.dwForwardNextHop;
  }
  zrvd::unique_socket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!udp) return "";
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSsdpPort);
  to.sin_addr = target;
  sockaddr_in local{};
  int length = sizeof(local);
  if (connect(udp.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
      getsockname(udp.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_addr.s_addr == 0) {
    return "";
  }
  return inet_ntoa(local.sin_addr);
}

unique_bstr Bstr(const std::string& text) {
  std::wstring wide(text.begin(), text.end());  // ASCII: addresses, "TCP", our description
  return unique_bstr(SysAllocString(wide.c_str()));
}

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; text && i < SysStringLen(text); ++i) {
    out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return out;
}

std::string TakeText(HRESULT hr, BSTR text) {
  unique_bstr owned(text);
  return SUCCEEDED(hr) ? Narrow(owned.get()) : std::string();
}

RouterMapping Describe(IStaticPortMapping* m) {
  RouterMapping r;
  LONG number = 0;
  BSTR text = nullptr;
  if (SUCCEEDED(m->get_ExternalPort(&number))) r.external_port = static_cast<uint16_t>(number);
  number = 0;
  if (SUCCEEDED(m->get_InternalPort(&number))) r.internal_port = static_cast<uint16_t>(number);
  HRESULT hr = m->get_Protocol(&text);
  r.protocol = TakeText(hr, text);
  text = nullptr;
  hr = m->get_InternalClient(&text);
  r.internal_client = TakeText(hr, text);
  text = nullptr;
  hr = m->get_Description(&text);
  r.description = TakeText(hr, text);
  text = nullptr;
  hr = m->get_ExternalIPAddress(&text);
  r.external_address = TakeText(hr, text);
  return r;
}

std::vector<RouterMapping> ListMappings(IStaticPortMappingCollection* collection) {
  std::vector<RouterMapping> list;
  com_ptr<IUnknown> unknown;
  if (FAILED(collection->get__NewEnum(unknown.put())) || !unknown) return list;
  com_ptr<IEnumVARIANT> items;
  if (FAILED(unknown->QueryInterface(IID_IEnumVARIANT, items.put_void())) || !items) return list;
  VARIANT item;
  VariantInit(&item);
  ULONG fetched = 0;
  while (items->Next(1, &item, &fetched) == S_OK && fetched == 1) {
    com_ptr<IStaticPortMapping> mapping;
    if (item.vt == VT_DISPATCH && item.pdispVal &&
        SUCCEEDED(item.pdispVal->QueryInterface(kIidIStaticPortMapping, mapping.put_void())) &&
        mapping) {
      list.push_back(Describe(mapping.get()));
    }
    VariantClear(&item);
  }
  return list;
}

// The gateway's list, fresh: hnetcfg reads it when the first object of the
// process finds the gateway, so nothing is kept from one look to the next.
struct Gateway {
  com_ptr<IUPnPNAT> nat;
  com_ptr<IStaticPortMappingCollection> collection;
  HRESULT created = S_OK;
};

Gateway FindGateway() {
  Gateway g;
  g.created = CoCreateInstance(kClsidUPnPNAT, nullptr, CLSCTX_INPROC_SERVER, kIidIUPnPNAT,
                               g.nat.put_void());
  if (FAILED(g.created) || !g.nat) return g;
  if (FAILED(g.nat->get_StaticPortMappingCollection(g.collection.put()))) g.collection.reset();
  return g;
}

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

bool Stopping() {
  Mapper& mapper = State();
  std::lock_guard<std::mutex> lock(mapper.mutex);
  return mapper.stopping;
}

// Takes our mapping off the router, if this run holds one and it is still ours.
void RemoveHeld(uint16_t port) {
  Mapper& mapper = State();
  ReleaseLease();
  if (!mapper.held) return;
  mapper.held = false;
  Gateway gateway = FindGateway();
  if (!gateway.collection) return;
  for (const RouterMapping& m : ListMappings(gateway.collection.get())) {
    if (m.protocol == "TCP" && m.external_port == port && m.internal_client == mapper.held_address) {
      unique_bstr tcp = Bstr("TCP");
      if (SUCCEEDED(gateway.collection->Remove(port, tcp.get()))) {
        LogInfo(kMsgRemoved, port, mapper.held_address.c_str(), port);
      }
    }
  }
}

void Look(uint16_t port) {
  Mapper& mapper = State();
  const PortMapStatus before = StatusNow();
  PortMapStatus status;
  status.port = port;
  status.internal_address = LocalAddressTowardGateway();
  Gateway gateway = FindGateway();
  if (FAILED(gateway.created) || !gateway.nat) {
    status.state = PortMapState::kUnavailable;
    if (before.state != status.state) LogInfo(kMsgUnavailable, "no NAT traversal objects");
    SetStatus(status);
    return;
  }
  if (!gateway.collection) {
    // No UPnP: a gateway may still speak PCP or NAT-PMP.
    if (MapByLease(port, &status, Stopping)) {
      mapper.held = false;
      SetStatus(status);
      return;
    }
    status.state = PortMapState::kNoGateway;
    if (before.state != status.state) LogInfo(kMsgNoGateway);
    mapper.held = false;
    SetStatus(status);
    return;
  }
  status.gateway_found = true;
  status.protocol = MapProtocol::kUpnp;
  const std::vector<RouterMapping> list = ListMappings(gateway.collection.get());
  const LookPlan plan = PlanLook(list, status.internal_address, port);
  unique_bstr tcp = Bstr("TCP");
  for (uint16_t stale : plan.remove) {
    if (SUCCEEDED(gateway.collection->Remove(stale, tcp.get()))) {
      LogInfo(kMsgRemoved, stale, status.internal_address.c_str(), stale);
    }
  }
  for (const RouterMapping& m : list) {
    if (!m.external_address.empty()) status.external_address = m.external_address;
  }
  if (plan.conflict) {
    status.state = PortMapState::kConflict;
    status.holder = plan.holder;
    LogInfo(kMsgConflict, port, plan.holder.internal_client.c_str(), plan.holder.internal_port);
    mapper.held = false;
  } else if (plan.present) {
    status.state = PortMapState::kMapped;
  } else {
    unique_bstr client = Bstr(status.internal_address);
    unique_bstr description = Bstr(PortMappingDescription(port));
    com_ptr<IStaticPortMapping> added;
    const HRESULT hr = gateway.collection->Add(port, tcp.get(), port, client.get(), VARIANT_TRUE,
                                               description.get(), added.put());
    if (FAILED(hr)) {
      status.state = PortMapState::kRefused;
      status.error = static_cast<uint32_t>(hr);
      LogInfo(kMsgRefused, port, status.internal_address.c_str(), port,
              static_cast<unsigned long>(hr));
      mapper.held = false;
      PortMapStatus leased = status;
      if (MapByLease(port, &leased, Stopping)) status = leased;
    } else {
      status.state = PortMapState::kMapped;
      if (added) {
        BSTR text = nullptr;
        const HRESULT got = added->get_ExternalIPAddress(&text);
        const std::string outside = TakeText(got, text);
        if (!outside.empty()) status.external_address = outside;
      }
      LogInfo(kMsgMapped, port, status.internal_address.c_str(), port);
    }
  }
  if (status.state == PortMapState::kMapped && status.protocol == MapProtocol::kUpnp) {
    ReleaseLease();
    mapper.held = true;
    mapper.held_address = status.internal_address;
  }
  SetStatus(status);
}

class PortMapThread : public IThreadHandler {
 public:
  explicit PortMapThread(uint16_t port) : m_port(port) {}
  void Release() override { delete this; }
  int32_t OnMessage(UINT, WPARAM, LPARAM) override { return 0; }

  int32_t Run() override {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    WSADATA wsa;
    const bool wsa_started = WSAStartup(MAKEWORD(2, 0), &wsa) == 0;
    Mapper& mapper = State();
    // A lease a run that did not end cleanly left behind; nothing is sent with the
    // environment switch off.
    if (ReadSwitch() != PortMappingSwitch::kOffByEnvironment) ReleaseLeftoverLease();
    for (;;) {
      bool stopping = false;
      PortMappingSwitch now = ReadSwitch();
      {
        std::lock_guard<std::mutex> lock(mapper.mutex);
        stopping = mapper.stopping;
        mapper.last_switch = now;
      }
      if (stopping) {
        RemoveHeld(m_port);
        break;
      }
      if (now == PortMappingSwitch::kOn) {
        Look(m_port);
      } else {
        RemoveHeld(m_port);
        PortMapStatus off;
        off.state = PortMapState::kOff;
        off.off_by = now;
        off.port = m_port;
        const PortMapStatus before = StatusNow();
        if (before.state != PortMapState::kOff || before.off_by != now) {
          LogInfo(kMsgOff, now == PortMappingSwitch::kOffByEnvironment ? "ZRVD_PORT_MAPPING=0"
                                                                       : "PortMapping = 0");
        }
        SetStatus(off);
      }
      WaitForSingleObject(mapper.wake.get(), LeaseSleepMs(kPortMappingLookSeconds * 1000));
    }
    SetEvent(mapper.done.get());
    if (wsa_started) WSACleanup();
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
  }

 private:
  uint16_t m_port;
};

// The 9x family has no hnetcfg.dll; neither has a stripped-down system.
const char* WhyUnavailable() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    return "the Windows 9x family has no hnetcfg.dll";
  }
  zrvd::unique_hmodule library(LoadLibraryA("hnetcfg.dll"));
  return library ? nullptr : "no hnetcfg.dll";
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

void StopPortMapping(uint32_t wait_ms) {
  Mapper& mapper = State();
  {
    std::lock_guard<std::mutex> lock(mapper.mutex);
    if (!mapper.started || mapper.stopping) return;
    mapper.stopping = true;
  }
  SetEvent(mapper.wake.get());
  WaitForSingleObject(mapper.done.get(), wait_ms);
}

PortMapStatus ReadPortMapStatus() { return StatusNow(); }
