// The adapter address source: the SNMP agent's interface table first, then
// NetBIOS adapter status.
#include <cstring>

#include "identity/adapter_score.h"
#include "identity/machine_fingerprint.h"

namespace {

constexpr BYTE kGetNext = SNMP_PDU_GETNEXT;
constexpr AsnInteger32 kEthernetCsmacd = 6;
// ifNumber is the agent's word; a broken agent must not keep us here for hours.
constexpr long kMaxInterfaceRows = 1024;

UINT g_if_number[] = {1, 3, 6, 1, 2, 1, 2, 1};
UINT g_if_type[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 3};
UINT g_if_phys_address[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6};

constexpr UINT kColumnIdLength = 10;

bool HasPrefix(const AsnObjectIdentifier& oid, const UINT* prefix, UINT length) {
  if (oid.idLength < length || oid.ids == nullptr) return false;
  return std::memcmp(oid.ids, prefix, length * sizeof(UINT)) == 0;
}

// What SnmpUtilAsnAnyFree does; not every snmpapi offers it.
void FreeValue(const SnmpAgent& agent, AsnAny* value) {
  switch (value->asnType) {
    case ASN_OBJECTIDENTIFIER:
      agent.oid_free(&value->asnValue.object);
      break;
    case ASN_OCTETSTRING:
    case ASN_BITS:
    case ASN_SEQUENCE:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
      if (value->asnValue.string.dynamic) agent.mem_free(value->asnValue.string.stream);
      break;
    default:
      break;
  }
  value->asnType = ASN_NULL;
}

// Owns bindings whose names and values the agent reallocates.
class Bindings {
 public:
  Bindings(const SnmpAgent& agent, UINT* const* oids, const UINT* lengths, UINT count)
      : m_agent(agent), m_count(count) {
    for (UINT i = 0; i < count; ++i) {
      AsnObjectIdentifier oid = {lengths[i], oids[i]};
      m_agent.oid_cpy(&m_binds[i].name, &oid);
      m_binds[i].value.asnType = ASN_NULL;
    }
    m_list.list = m_binds;
    m_list.len = count;
  }
  Bindings(const Bindings&) = delete;
  Bindings& operator=(const Bindings&) = delete;
  ~Bindings() {
    for (UINT i = 0; i < m_count; ++i) m_agent.var_bind_free(&m_binds[i]);
  }

  // GETNEXT from the current names; false when the agent reports a failure.
  bool Next() {
    for (UINT i = 0; i < m_count; ++i) FreeValue(m_agent, &m_binds[i].value);
    AsnInteger32 error_status = 0;
    AsnInteger32 error_index = 0;
    return m_agent.query(kGetNext, &m_list, &error_status, &error_index) &&
           error_status == SNMP_ERRORSTATUS_NOERROR;
  }

  SnmpVarBind& operator[](UINT i) { return m_binds[i]; }

 private:
  const SnmpAgent& m_agent;
  SnmpVarBind m_binds[2] = {};
  SnmpVarBindList m_list = {};
  UINT m_count;
};

}  // namespace

std::vector<uint8_t> SnmpAdapterAddresses(const SnmpAgent* agent) {
  std::vector<uint8_t> list;
  if (!agent || !agent->query) return list;

  long rows = 0;
  {
    UINT* oids[] = {g_if_number};
    const UINT lengths[] = {sizeof(g_if_number) / sizeof(UINT)};
    Bindings count(*agent, oids, lengths, 1);
    if (!count.Next()) return list;
    if (count[0].value.asnType == ASN_INTEGER) rows = count[0].value.asnValue.number;
  }
  if (rows > kMaxInterfaceRows) rows = kMaxInterfaceRows;

  UINT* oids[] = {g_if_type, g_if_phys_address};
  const UINT lengths[] = {kColumnIdLength, kColumnIdLength};
  Bindings row(*agent, oids, lengths, 2);
  for (long i = 0; i < rows; ++i) {
    if (!row.Next()) continue;
    const SnmpVarBind& type = row[0];
    const SnmpVarBind& address = row[1];
    if (!HasPrefix(type.name, g_if_type, kColumnIdLength)) continue;
    if (type.value.asnType != ASN_INTEGER || type.value.asnValue.number != kEthernetCsmacd) {
      continue;
    }
    if (!HasPrefix(address.name, g_if_phys_address, kColumnIdLength)) continue;
    const AsnOctetString& bytes = address.value.asnValue.string;
    if (address.value.asnType != ASN_OCTETSTRING || bytes.stream == nullptr ||
        bytes.length < kAdapterAddressSize) {
      continue;
    }
    static const uint8_t kZero[kAdapterAddressSize] = {};
    if (std::memcmp(bytes.stream, kZero, kAdapterAddressSize) == 0) continue;
    list.insert(list.end(), bytes.stream, bytes.stream + kAdapterAddressSize);
  }
  return list;
}

std::vector<uint8_t> NetbiosAdapterAddresses(NetbiosFn netbios) {
  std::vector<uint8_t> list;
  if (!netbios) return list;

  LANA_ENUM lanas = {};
  NCB ncb = {};
  ncb.ncb_command = NCBENUM;
  ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
  ncb.ncb_length = sizeof(lanas);
  if (netbios(&ncb) != NRC_GOODRET) return list;

  const size_t count = lanas.length < sizeof(lanas.lana) ? lanas.length : sizeof(lanas.lana);
  for (size_t i = 0; i < count; ++i) {
    ncb = NCB{};
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lanas.lana[i];
    if (netbios(&ncb) != NRC_GOODRET) continue;

    uint8_t status[600] = {};  // ADAPTER_STATUS and its name table
    ncb = NCB{};
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_lana_num = lanas.lana[i];
    ncb.ncb_callname[0] = '*';
    ncb.ncb_buffer = status;
    ncb.ncb_length = sizeof(status);
    if (netbios(&ncb) == NRC_GOODRET) {
      list.insert(list.end(), status, status + kAdapterAddressSize);
    }
  }
  return list;
}

int GetAdapterAddress(const MachinePlatform& platform, uint8_t address[6]) {
  int best = kAdapterScoreNever;

  std::vector<uint8_t> list =
      SnmpAdapterAddresses(platform.snmp_agent ? platform.snmp_agent() : nullptr);
  WalkAdapterAddresses(list.data(), list.size() / kAdapterAddressSize, &best, address);
  if (best == 0) return 0;

  list = NetbiosAdapterAddresses(platform.netbios ? platform.netbios() : nullptr);
  WalkAdapterAddresses(list.data(), list.size() / kAdapterAddressSize, &best, address);
  return best > kAdapterScoreNever ? 0 : -1;
}
