#include "identity/machine_platform.h"

#include "common/unique_any.h"

namespace {

using SnmpExtensionInitFn = BOOL(WINAPI*)(DWORD time_zero, HANDLE* trap_event,
                                          AsnObjectIdentifier* supported_view);

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The agent stays loaded and initialised for the process's life, and so do
// snmpapi and the Winsock start it was initialised under.
const SnmpAgent* LoadSnmpAgent() {
  static bool s_tried = false;
  static SnmpAgent s_agent;
  static const SnmpAgent* s_loaded = nullptr;
  if (s_tried) return s_loaded;

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 0), &wsa) != 0) return nullptr;
  s_tried = true;

  // The agent is built on snmpapi, and the bindings it fills are freed with it.
  HMODULE snmpapi = LoadLibraryA("snmpapi.dll");
  if (!snmpapi) return nullptr;
  s_agent.oid_cpy = Lookup<decltype(s_agent.oid_cpy)>(snmpapi, "SnmpUtilOidCpy");
  s_agent.oid_free = Lookup<decltype(s_agent.oid_free)>(snmpapi, "SnmpUtilOidFree");
  s_agent.var_bind_free = Lookup<decltype(s_agent.var_bind_free)>(snmpapi, "SnmpUtilVarBindFree");
  s_agent.mem_free = Lookup<decltype(s_agent.mem_free)>(snmpapi, "SnmpUtilMemFree");
  if (!s_agent.oid_cpy || !s_agent.oid_free || !s_agent.var_bind_free || !s_agent.mem_free) {
    return nullptr;
  }

  HMODULE agent = LoadLibraryA("inetmib1.dll");
  if (!agent) return nullptr;
  auto init = Lookup<SnmpExtensionInitFn>(agent, "SnmpExtensionInit");
  if (!init) return nullptr;
  HANDLE trap_event = nullptr;
  AsnObjectIdentifier supported_view = {};
  init(GetTickCount(), &trap_event, &supported_view);

  if (!Lookup<FARPROC>(agent, "SnmpExtensionInitEx") ||
      !Lookup<FARPROC>(agent, "SnmpExtensionTrap")) {
    return nullptr;
  }
  s_agent.query = Lookup<SnmpQueryFn>(agent, "SnmpExtensionQuery");
  if (s_agent.query) s_loaded = &s_agent;
  return s_loaded;
}

NetbiosFn LoadNetbios() {
  static bool s_tried = false;
  static NetbiosFn s_netbios = nullptr;
  if (s_tried) return s_netbios;
  s_tried = true;
  if (HMODULE netapi = LoadLibraryA("netapi32.dll")) {
    s_netbios = Lookup<NetbiosFn>(netapi, "Netbios");
  }
  return s_netbios;
}

class RealDiskDevice : public IDiskDevice {
 public:
  explicit RealDiskDevice(zrvd::unique_hfile file) : m_file(std::move(file)) {}
  bool Control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
               DWORD* returned) override {
    return DeviceIoControl(m_file.get(), code, in, in_size, out, out_size, returned, nullptr) !=
           FALSE;
  }

 private:
  zrvd::unique_hfile m_file;
};

class RealDiskDevices : public IDiskDevices {
 public:
  std::unique_ptr<IDiskDevice> Open(const char* path, DWORD access, DWORD share,
                                    DWORD creation) override {
    zrvd::unique_hfile file(CreateFileA(path, access, share, nullptr, creation, 0, nullptr));
    if (!file) return nullptr;
    return std::make_unique<RealDiskDevice>(std::move(file));
  }

  void InstallSmartDriver() override {
    char system_dir[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(system_dir, MAX_PATH);
    // Both names must fit the 260-byte buffers; the longer adds 22 characters.
    if (length == 0 || length + 23 > MAX_PATH) return;
    char from[MAX_PATH];
    char to[MAX_PATH];
    wsprintfA(from, "%s\\SMARTVSD.VXD", system_dir);
    wsprintfA(to, "%s\\IOSUBSYS\\SMARTVSD.VXD", system_dir);
    CopyFileA(from, to, FALSE);
  }
};

MachinePlatform MakeRealPlatform() {
  MachinePlatform platform;
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (GetVersionExA(&version)) platform.platform_id = version.dwPlatformId;

  platform.snmp_agent = LoadSnmpAgent;
  platform.netbios = LoadNetbios;
  static RealDiskDevices s_disks;
  platform.disks = &s_disks;

  // Both are in every process; looking them up cannot load anything new.
  if (HMODULE ntdll = GetModuleHandleA("ntdll.dll")) {
    platform.open_section = Lookup<ZwOpenSectionFn>(ntdll, "ZwOpenSection");
    platform.map_view_of_section = Lookup<ZwMapViewOfSectionFn>(ntdll, "ZwMapViewOfSection");
    platform.unmap_view_of_section =
        Lookup<ZwUnmapViewOfSectionFn>(ntdll, "ZwUnmapViewOfSection");
  }
  if (HMODULE kernel = GetModuleHandleA("Kernel32.dll")) {
    platform.get_system_firmware_table =
        Lookup<GetSystemFirmwareTableFn>(kernel, "GetSystemFirmwareTable");
  }
  platform.bios_area_9x = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(0xF0000));
  return platform;
}

}  // namespace

const MachinePlatform& RealMachinePlatform() {
  static const MachinePlatform s_platform = MakeRealPlatform();
  return s_platform;
}

bool AnsiAlnum(char c) { return IsCharAlphaNumericA(c) != FALSE; }
