// Stand-ins for the platform answers the fingerprint sources read: an SNMP
// agent over a small MIB, NetBIOS over a few adapters, and disk devices that
// check their requests the way the drivers would. Each test installs what it
// needs; the agents are plain functions, so their state is global and tests
// must not run concurrently (GoogleTest runs them one at a time).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "identity/machine_platform.h"

using Bytes = std::vector<uint8_t>;
using Oid = std::vector<UINT>;

// --- SNMP ---------------------------------------------------------------------------

struct FakeMibValue {
  BYTE type = ASN_INTEGER;
  AsnInteger32 number = 0;
  Bytes bytes;
};

struct FakeSnmpAgent {
  std::map<Oid, FakeMibValue> mib;
  bool fail_all = false;
  int queries = 0;
  std::vector<BYTE> pdu_types;

  // An interface table as MIB-II lays it out, followed by an unrelated value.
  void SetInterfaces(AsnInteger32 if_number,
                     const std::vector<std::pair<AsnInteger32, Bytes>>& rows);
};

// The installed agent; SnmpAgentQuery answers from it.
extern FakeSnmpAgent* g_snmp;
BOOL WINAPI SnmpAgentQuery(BYTE pdu_type, SnmpVarBindList* bindings, AsnInteger32* error_status,
                           AsnInteger32* error_index);
// SnmpAgentQuery with the snmpapi this test links.
extern const SnmpAgent kFakeSnmpAgent;
const SnmpAgent* FakeSnmpLoader();  // kFakeSnmpAgent when an agent is installed

// --- NetBIOS ------------------------------------------------------------------------

struct FakeNetbios {
  std::vector<UCHAR> lanas;
  std::map<UCHAR, Bytes> status;  // adapter address by LANA; absent: NCBASTAT fails
  std::vector<UCHAR> reset_fails;
  bool enum_fails = false;
  std::vector<std::string> calls;  // "ENUM", "RESET 3", "ASTAT 3"
  std::vector<std::string> faults;  // requests that were malformed
};

extern FakeNetbios* g_netbios;
UCHAR WINAPI NetbiosCall(PNCB ncb);
NetbiosFn FakeNetbiosLoader();

// --- Disks --------------------------------------------------------------------------

using ControlHandler =
    std::function<bool(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)>;

struct OpenCall {
  std::string path;
  DWORD access;
  DWORD share;
  DWORD creation;
};

class FakeDisks : public IDiskDevices {
 public:
  // A device that opens at `path` and answers with `handler`.
  void Add(const std::string& path, ControlHandler handler) { m_devices[path] = handler; }

  std::unique_ptr<IDiskDevice> Open(const char* path, DWORD access, DWORD share,
                                    DWORD creation) override;
  void InstallSmartDriver() override { ++smart_driver_installs; }

  std::vector<OpenCall> opens;
  int smart_driver_installs = 0;

 private:
  std::map<std::string, ControlHandler> m_devices;
};

// 512 bytes of IDENTIFY data: `serial` in words 10-19 and `model` in words
// 27-46 (left zero when empty), each as the drive stores them (first
// character in the high byte).
Bytes IdentifySector(const std::string& serial, const std::string& model = "FAKE DISK");

// A SMART driver: answers SMART_GET_VERSION with `device_map` and IDENTIFY
// with `sector`, after checking the request's layout; records the IDENTIFY
// command and drive/head registers it was sent.
struct SmartDrive {
  uint8_t device_map = 1;
  Bytes sector;
  std::vector<std::pair<uint8_t, uint8_t>> commands;  // (command, drive/head)
  std::vector<uint8_t> drive_numbers;
  ControlHandler Handler();
};
