#include "tests/win/identity/fake_platform.h"

#include <cstring>

#include "identity/disk_requests.h"

FakeSnmpAgent* g_snmp = nullptr;
FakeNetbios* g_netbios = nullptr;

namespace {

Oid ToOid(const AsnObjectIdentifier& oid) { return Oid(oid.ids, oid.ids + oid.idLength); }

void SetName(AsnObjectIdentifier* name, const Oid& oid) {
  SnmpUtilOidFree(name);
  AsnObjectIdentifier source = {static_cast<UINT>(oid.size()), const_cast<UINT*>(oid.data())};
  SnmpUtilOidCpy(name, &source);
}

void SetValue(AsnAny* any, const FakeMibValue& value) {
  any->asnType = value.type;
  if (value.type == ASN_OCTETSTRING) {
    any->asnValue.string.length = static_cast<UINT>(value.bytes.size());
    any->asnValue.string.dynamic = TRUE;
    any->asnValue.string.stream =
        static_cast<BYTE*>(SnmpUtilMemAlloc(static_cast<UINT>(value.bytes.size()) + 1));
    std::memcpy(any->asnValue.string.stream, value.bytes.data(), value.bytes.size());
  } else {
    any->asnValue.number = value.number;
  }
}

}  // namespace

void FakeSnmpAgent::SetInterfaces(AsnInteger32 if_number,
                                  const std::vector<std::pair<AsnInteger32, Bytes>>& rows) {
  mib[{1, 3, 6, 1, 2, 1, 2, 1, 0}] = FakeMibValue{ASN_INTEGER, if_number, {}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const UINT index = static_cast<UINT>(i + 1);
    mib[{1, 3, 6, 1, 2, 1, 2, 2, 1, 3, index}] = FakeMibValue{ASN_INTEGER, rows[i].first, {}};
    mib[{1, 3, 6, 1, 2, 1, 2, 2, 1, 6, index}] = FakeMibValue{ASN_OCTETSTRING, 0, rows[i].second};
  }
  mib[{1, 3, 6, 1, 2, 1, 4, 1, 0}] = FakeMibValue{ASN_INTEGER, 2, {}};
}

BOOL WINAPI SnmpAgentQuery(BYTE pdu_type, SnmpVarBindList* bindings, AsnInteger32* error_status,
                           AsnInteger32* error_index) {
  FakeSnmpAgent& agent = *g_snmp;
  ++agent.queries;
  agent.pdu_types.push_back(pdu_type);
  if (agent.fail_all) return FALSE;
  *error_status = SNMP_ERRORSTATUS_NOERROR;
  *error_index = 0;
  for (UINT i = 0; i < bindings->len; ++i) {
    SnmpVarBind& bind = bindings->list[i];
    auto next = agent.mib.upper_bound(ToOid(bind.name));
    if (next == agent.mib.end()) {
      *error_status = SNMP_ERRORSTATUS_NOSUCHNAME;
      *error_index = static_cast<AsnInteger32>(i + 1);
      return TRUE;
    }
    SetName(&bind.name, next->first);
    SetValue(&bind.value, next->second);
  }
  return TRUE;
}

const SnmpAgent kFakeSnmpAgent = {SnmpAgentQuery, &SnmpUtilOidCpy, &SnmpUtilOidFree,
                                   &SnmpUtilVarBindFree, &SnmpUtilMemFree};

const SnmpAgent* FakeSnmpLoader() { return g_snmp ? &kFakeSnmpAgent : nullptr; }

UCHAR WINAPI NetbiosCall(PNCB ncb) {
  FakeNetbios& nb = *g_netbios;
  switch (ncb->ncb_command) {
    case NCBENUM: {
      nb.calls.push_back("ENUM");
      if (ncb->ncb_length != sizeof(LANA_ENUM)) nb.faults.push_back("ENUM length");
      if (nb.enum_fails) return NRC_SYSTEM;
      auto* lanas = reinterpret_cast<LANA_ENUM*>(ncb->ncb_buffer);
      lanas->length = static_cast<UCHAR>(nb.lanas.size());
      for (size_t i = 0; i < nb.lanas.size(); ++i) lanas->lana[i] = nb.lanas[i];
      return NRC_GOODRET;
    }
    case NCBRESET: {
      nb.calls.push_back("RESET " + std::to_string(ncb->ncb_lana_num));
      for (UCHAR lana : nb.reset_fails) {
        if (lana == ncb->ncb_lana_num) return NRC_ENVNOTDEF;
      }
      return NRC_GOODRET;
    }
    case NCBASTAT: {
      nb.calls.push_back("ASTAT " + std::to_string(ncb->ncb_lana_num));
      static const UCHAR kStar[NCBNAMSZ] = {'*'};
      if (std::memcmp(ncb->ncb_callname, kStar, NCBNAMSZ) != 0) nb.faults.push_back("call name");
      if (ncb->ncb_length != 600) nb.faults.push_back("ASTAT length");
      auto found = nb.status.find(ncb->ncb_lana_num);
      if (found == nb.status.end()) return NRC_BRIDGE;
      std::memset(ncb->ncb_buffer, 0x5A, ncb->ncb_length);  // the rest of ADAPTER_STATUS
      std::memcpy(ncb->ncb_buffer, found->second.data(), found->second.size());
      return NRC_GOODRET;
    }
    default:
      nb.faults.push_back("command " + std::to_string(ncb->ncb_command));
      return NRC_ILLCMD;
  }
}

NetbiosFn FakeNetbiosLoader() { return g_netbios ? NetbiosCall : nullptr; }

namespace {

class FakeDevice : public IDiskDevice {
 public:
  explicit FakeDevice(ControlHandler handler) : m_handler(std::move(handler)) {}
  bool Control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
               DWORD* returned) override {
    *returned = 0;
    const bool ok = m_handler(code, in, in_size, out, out_size);
    if (ok) *returned = out_size;
    return ok;
  }

 private:
  ControlHandler m_handler;
};

void PutText(Bytes& sector, size_t first_word, size_t words, const std::string& text) {
  std::string padded = text;
  padded.resize(2 * words, ' ');
  for (size_t i = 0; i < padded.size(); i += 2) {
    sector[2 * first_word + i] = static_cast<uint8_t>(padded[i + 1]);
    sector[2 * first_word + i + 1] = static_cast<uint8_t>(padded[i]);
  }
}

}  // namespace

std::unique_ptr<IDiskDevice> FakeDisks::Open(const char* path, DWORD access, DWORD share,
                                             DWORD creation) {
  opens.push_back({path, access, share, creation});
  auto found = m_devices.find(path);
  if (found == m_devices.end()) return nullptr;
  return std::make_unique<FakeDevice>(found->second);
}

Bytes IdentifySector(const std::string& serial, const std::string& model) {
  Bytes sector(512, 0);
  PutText(sector, 10, 10, serial);
  if (!model.empty()) PutText(sector, 27, 20, model);
  return sector;
}

ControlHandler SmartDrive::Handler() {
  return [this](DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
    if (code == kSmartGetVersion) {
      if (in_size != 0 || out_size != kSmartVersionSize) return false;
      auto* version = static_cast<uint8_t*>(out);
      std::memset(version, 0, out_size);
      version[0] = 1;
      version[3] = device_map;
      return true;
    }
    if (code == kSmartRcvDriveData) {
      const auto* request = static_cast<const uint8_t*>(in);
      // Buffer size 512, features 0, count 1, number 1, cylinder 0 0.
      static const uint8_t kHead[] = {0x00, 0x02, 0x00, 0x00, 0, 1, 1, 0, 0};
      if (in_size != kSmartCommandSize || out_size != kSmartAnswerSize ||
          std::memcmp(request, kHead, sizeof(kHead)) != 0) {
        return false;
      }
      commands.emplace_back(request[10], request[9]);
      drive_numbers.push_back(request[12]);
      if (sector.empty()) return false;
      auto* answer = static_cast<uint8_t*>(out);
      std::memset(answer, 0, out_size);
      answer[1] = 0x02;  // cBufferSize 512
      std::memcpy(answer + kSmartAnswerDataOffset, sector.data(), 512);
      return true;
    }
    return false;
  };
}
