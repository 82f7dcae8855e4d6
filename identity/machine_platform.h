// What the fingerprint sources ask of Windows, gathered in one record so that
// a test can supply the platform's answers (an SNMP agent, NetBIOS, disk
// devices, the BIOS area) and every method's decoding runs without the
// hardware that would give them.
//
// RealMachinePlatform() is the product's: the record is built once and lives
// for the process; the agents it loads stay loaded. Not for concurrent use:
// the fingerprint runs once, on the daemon's main thread.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <nb30.h>
#include <snmp.h>
#include <winternl.h>

#include <cstdint>
#include <memory>

// SnmpExtensionQuery of an SNMP extension agent. The agent replaces the names
// and values of the bindings, so they must come from SnmpUtil allocations.
using SnmpQueryFn = BOOL(WINAPI*)(BYTE pdu_type, SnmpVarBindList* bindings,
                                  AsnInteger32* error_status, AsnInteger32* error_index);
using NetbiosFn = UCHAR(WINAPI*)(PNCB ncb);

// An agent's query with the snmpapi functions for the bindings it fills. Both
// come from libraries loaded at run time: a system without snmpapi still runs
// the daemon, and this source then yields nothing.
struct SnmpAgent {
  SnmpQueryFn query = nullptr;
  decltype(&SnmpUtilOidCpy) oid_cpy = nullptr;
  decltype(&SnmpUtilOidFree) oid_free = nullptr;
  decltype(&SnmpUtilVarBindFree) var_bind_free = nullptr;
  decltype(&SnmpUtilMemFree) mem_free = nullptr;
};

using ZwOpenSectionFn = NTSTATUS(NTAPI*)(PHANDLE section, ACCESS_MASK access,
                                         POBJECT_ATTRIBUTES attributes);
using ZwMapViewOfSectionFn = NTSTATUS(NTAPI*)(HANDLE section, HANDLE process, PVOID* base,
                                              ULONG_PTR zero_bits, SIZE_T commit_size,
                                              PLARGE_INTEGER offset, PSIZE_T view_size,
                                              DWORD inherit, ULONG allocation_type,
                                              ULONG protect);
using ZwUnmapViewOfSectionFn = NTSTATUS(NTAPI*)(HANDLE process, PVOID base);
using GetSystemFirmwareTableFn = UINT(WINAPI*)(DWORD provider, DWORD table_id, PVOID buffer,
                                               DWORD buffer_size);

// One opened disk or controller device; closed when destroyed.
class IDiskDevice {
 public:
  virtual ~IDiskDevice() = default;
  // DeviceIoControl. `in` and `out` may be the same buffer.
  virtual bool Control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                       DWORD* returned) = 0;
};

class IDiskDevices {
 public:
  virtual ~IDiskDevices() = default;
  // CreateFileA with these arguments; null when the open fails.
  virtual std::unique_ptr<IDiskDevice> Open(const char* path, DWORD access, DWORD share,
                                            DWORD creation) = 0;
  // The 9x remedy when the SMART driver cannot be opened: copies SMARTVSD.VXD
  // into the system directory's IOSUBSYS folder for the next boot.
  virtual void InstallSmartDriver() = 0;
};

struct MachinePlatform {
  DWORD platform_id = 0;  // GetVersionExA's dwPlatformId

  // Each returns the agent's entry point, loading and initialising the agent
  // on first use; null when it is unavailable.
  const SnmpAgent* (*snmp_agent)() = nullptr;
  NetbiosFn (*netbios)() = nullptr;

  IDiskDevices* disks = nullptr;  // not owned

  // Null entries count as missing functions.
  ZwOpenSectionFn open_section = nullptr;
  ZwMapViewOfSectionFn map_view_of_section = nullptr;
  ZwUnmapViewOfSectionFn unmap_view_of_section = nullptr;
  GetSystemFirmwareTableFn get_system_firmware_table = nullptr;

  // Where a 9x process sees physical address 0xF0000.
  const uint8_t* bios_area_9x = nullptr;
};

// The product's platform, built on first call.
const MachinePlatform& RealMachinePlatform();

// The character test of the disk serial texts: IsCharAlphaNumericA.
bool AnsiAlnum(char c);
