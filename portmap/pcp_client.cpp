#include "portmap/pcp_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "portmap/lease_rules.h"
#include "portmap/pcp_message.h"
#include "runtime/log.h"
#include "runtime/random_bytes.h"

namespace {

constexpr DWORD kSliceMs = 100;
constexpr DWORD kStopGraceMs = 1000;

constexpr char kMsgLeased[] =
    "Port mapping: TCP %u -> %s:%u mapped on the gateway by %s, outside address %s, "
    "lease %lu s";
constexpr char kMsgRemoved[] = "Port mapping: TCP %u -> %s:%u removed from the gateway";
constexpr char kMsgOtherPort[] =
    "Port mapping: the gateway granted outside port %u for TCP %u (%s), which no peer is "
    "told; deleting it";
constexpr char kMsgForgotten[] =
    "Port mapping: the record names TCP %u -> %s:%u by %s on another network (gateway %s); "
    "its lease ends by itself at %s: forgotten";
constexpr char kMsgRefused[] = "Port mapping: the gateway refused TCP %u -> %s:%u (%s %s)";

struct Held {
  bool held = false;
  LeaseRecord record;
  uint32_t gateway = 0;
  uint64_t renewal_at_ms = 0;
};

Held& Lease() {
  static Held held;
  return held;
}

uint64_t NowMs() { return static_cast<uint64_t>(std::time(nullptr)) * 1000; }

const char* ProtocolText(LeaseProtocol p) { return p == LeaseProtocol::kPcp ? "PCP" : "NAT-PMP"; }

// A UDP socket connected to gateway:5351 (connecting sends nothing) and the
// address the system gives us toward it.
struct Channel {
  zrvd::unique_socket socket;
  zrvd::unique_handle readable{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  uint32_t gateway = 0;
  uint32_t ours = 0;
};

bool Open(uint32_t gateway, Channel* c) {
  c->gateway = gateway;
  c->socket.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!c->socket || !c->readable) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kPcpServerPort);
  to.sin_addr.s_addr = htonl(gateway);
  sockaddr_in local{};
  int length = sizeof(local);
  if (connect(c->socket.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
      getsockname(c->socket.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_addr.s_addr == 0) {
    return false;
  }
  c->ours = ntohl(local.sin_addr.s_addr);
  return WSAEventSelect(c->socket.get(), c->readable.get(), FD_READ) == 0;
}

// One request with its retransmissions; the first answer that is ours, or
// kIgnored when none came in time. `stopping` ends the retransmissions, but
// the answer to what was sent is still awaited a moment: a mapping granted
// unseen would stay open on the router until its lease ends.
Answer Exchange(Channel& c, LeaseProtocol protocol, const MapRequest& request,
                const std::vector<uint8_t>& bytes, const std::function<bool()>& stopping) {
  uint32_t random = 0;
  RandomBytes(reinterpret_cast<uint8_t*>(&random), sizeof(random));
  bool stopped = false;
  for (uint32_t wait : RetransmitWaitsMs(protocol, random)) {
    send(c.socket.get(), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
         0);
    const DWORD begin = GetTickCount();
    for (;;) {
      const DWORD spent = GetTickCount() - begin;
      if (spent >= wait) break;
      if (!stopped && stopping && stopping()) {
        stopped = true;
        wait = spent + kStopGraceMs < wait ? spent + kStopGraceMs : wait;
      }
      const DWORD slice = wait - spent < kSliceMs ? wait - spent : kSliceMs;
      if (WaitForSingleObject(c.readable.get(), slice) != WAIT_OBJECT_0) continue;
      for (;;) {
        uint8_t datagram[1100 + 4];
        sockaddr_in from{};
        int from_length = sizeof(from);
        const int got = recvfrom(c.socket.get(), reinterpret_cast<char*>(datagram),
                                 sizeof(datagram), 0, reinterpret_cast<sockaddr*>(&from),
                                 &from_length);
        if (got < 0) {
          // ICMP unreachable comes back as WSAECONNRESET, an oversized datagram as
          // WSAEMSGSIZE: the rest of the wait decides. Anything else ends the exchange.
          const int error = WSAGetLastError();
          if (error == WSAEWOULDBLOCK) break;
          if (error != WSAECONNRESET && error != WSAEMSGSIZE) return {};
        }
        // A gateway (or anyone spoofing it) that floods: bounded by the wait and the stop.
        if (GetTickCount() - begin >= wait || (stopping && stopping() && !stopped)) break;
        if (got < 0) continue;
        const Answer answer =
            ParseAnswer(protocol, request, c.gateway, ntohl(from.sin_addr.s_addr),
                        ntohs(from.sin_port), datagram, static_cast<size_t>(got));
        if (answer.kind != AnswerKind::kIgnored) return answer;
      }
    }
    if (stopped) break;
  }
  return {};
}

MapRequest RequestOf(const LeaseRecord& r, uint32_t lifetime) {
  MapRequest request;
  request.client = r.address;
  request.internal_port = r.internal_port;
  request.external_port = r.external_port;
  request.lifetime = lifetime;
  request.nonce = r.nonce;
  return request;
}

Answer Ask(Channel& c, LeaseProtocol protocol, const MapRequest& request,
           const std::function<bool()>& stopping) {
  return Exchange(c, protocol, request,
                  protocol == LeaseProtocol::kPcp ? PcpMapRequest(request)
                                                  : NatPmpMapRequest(request),
                  stopping);
}

// Lifetime 0 for the mapping `r` names, on `gateway`; true when the gateway answered.
bool Delete(uint32_t gateway, const LeaseRecord& r) {
  Channel c;
  if (gateway == 0 || !Open(gateway, &c)) return false;
  const Answer a = Ask(c, r.protocol, RequestOf(r, 0), nullptr);
  if (a.kind == AnswerKind::kGranted) {
    LogInfo(kMsgRemoved, r.external_port, Ipv4Text(r.address).c_str(), r.internal_port);
  }
  return a.kind != AnswerKind::kIgnored;
}

bool ReadLease(const RecordStore& store, LeaseRecord* record) {
  MappingRecord m;
  return ParseMappingRecord(store.read(), &m) && FromMappingRecord(m, record);
}

// A renewal that got no answer, or could not be sent: a lease still running is
// tried again half way to its end (the record stays: the end deletes it); one
// that ran out is gone.
void RenewalMissed(const RecordStore& store) {
  Held& lease = Lease();
  if (!lease.held) return;
  const uint64_t now = NowMs();
  if (lease.record.lease_end * 1000 > now) {
    lease.renewal_at_ms = RenewalAtMs(now, lease.record.lease_end * 1000);
  } else {
    lease.held = false;
    store.clear(ToMappingRecord(lease.record));
  }
}

}  // namespace

bool MapByLease(uint32_t gateway, uint16_t port, PortMapStatus* status,
                const std::function<bool()>& stopping, const RecordStore& store) {
  Held& lease = Lease();
  Channel c;
  if (gateway == 0 || !Open(gateway, &c)) {
    RenewalMissed(store);
    return false;
  }
  // A new gateway or a new address is a new mapping; the old one expires.
  if (lease.held && (lease.gateway != gateway || lease.record.address != c.ours)) {
    lease.held = false;
  }
  LeaseRecord wanted = lease.record;
  if (!lease.held) {
    // A lease a run that did not end cleanly left goes first. The record holds
    // one mapping: another's (UPnP's, or a lease not yet deleted) keeps this one
    // from being asked for.
    LeaseRecord left;
    if (ReadLease(store, &left)) ReleaseLease(gateway, store);
    MappingRecord other;
    std::string upnp_gateway;
    uint64_t upnp_end = 0;
    if (ParseMappingRecord(store.read(), &other) &&
        ReadUpnpRecord(other, &upnp_gateway, &upnp_end)) {
      // UPnP's mapping, leased on another gateway or run out: it ends by itself.
      const uint64_t now = NowMs() / 1000;
      if (upnp_end != 0 && (upnp_end <= now || upnp_gateway != Ipv4Text(gateway))) {
        LogInfo(kMsgForgotten, other.port, ShownText(other.address).c_str(), other.port, "UPnP",
                ShownText(upnp_gateway).c_str(), UtcText(upnp_end).c_str());
        store.clear(other);
      }
    }
    if (!store.read().empty()) {
      status->state = PortMapState::kRefused;
      status->why = "the record names a mapping not yet removed (" + ShownText(store.read()) + ")";
      return true;
    }
    wanted = LeaseRecord();
    wanted.gateway = gateway;
    wanted.protocol = LeaseProtocol::kPcp;
    wanted.internal_port = port;
    wanted.address = c.ours;
    wanted.external_port = port;
    if (!RandomBytes(wanted.nonce.data(), wanted.nonce.size())) return false;
  }
  const uint64_t asked_at = NowMs();
  wanted.lease_end = asked_at / 1000 + kLeaseSeconds;
  if (!store.write(ToMappingRecord(wanted))) return false;
  MapRequest request = RequestOf(wanted, kLeaseSeconds);
  Answer a = Ask(c, wanted.protocol, request, stopping);
  if (a.kind == AnswerKind::kFallBack) {
    store.clear(ToMappingRecord(wanted));
    wanted.protocol = LeaseProtocol::kNatPmp;
    if (!store.write(ToMappingRecord(wanted))) return false;
    a = Ask(c, wanted.protocol, request, stopping);
  }
  if (a.kind != AnswerKind::kGranted && a.kind != AnswerKind::kRefused) {
    if (lease.held) {
      RenewalMissed(store);
    } else {
      store.clear(ToMappingRecord(wanted));
    }
    return false;
  }
  status->gateway_found = true;
  status->internal_address = Ipv4Text(c.ours);
  status->protocol =
      wanted.protocol == LeaseProtocol::kPcp ? MapProtocol::kPcp : MapProtocol::kNatPmp;
  if (a.kind == AnswerKind::kRefused) {
    status->state = PortMapState::kRefused;
    status->refusal = a.result_name;
    LogInfo(kMsgRefused, port, status->internal_address.c_str(), port,
            ProtocolText(wanted.protocol), a.result_name.c_str());
    store.clear(ToMappingRecord(wanted));
    lease.held = false;
    return true;
  }
  if (a.external_port != port) {
    // Peers are told our own port only: another outside port serves nobody and
    // stays open on the router. Recorded as granted, then deleted at once.
    wanted.external_port = a.external_port;
    wanted.lease_end = asked_at / 1000 + a.lifetime;
    store.write(ToMappingRecord(wanted));
    LogInfo(kMsgOtherPort, a.external_port, port, ProtocolText(wanted.protocol));
    if (Delete(gateway, wanted)) store.clear(ToMappingRecord(wanted));
    lease.held = false;
    status->state = PortMapState::kRefused;
    status->why = "the gateway offered outside port " + std::to_string(a.external_port) +
                  " for " + std::to_string(port) + ", which no peer is told: deleted";
    return true;
  }
  uint32_t outside = a.external_address;
  if (wanted.protocol == LeaseProtocol::kNatPmp) {
    MapRequest address_request = request;
    address_request.address_only = true;
    const Answer address =
        Exchange(c, LeaseProtocol::kNatPmp, address_request, NatPmpAddressRequest(), stopping);
    if (address.kind == AnswerKind::kAddress) outside = address.external_address;
  }
  const bool fresh = !lease.held || lease.record.external_port != a.external_port ||
                     lease.record.protocol != wanted.protocol;
  const MappingRecord asked = ToMappingRecord(wanted);
  wanted.external_port = a.external_port;
  wanted.lease_end = asked_at / 1000 + a.lifetime;
  if (!(ToMappingRecord(wanted) == asked)) store.write(ToMappingRecord(wanted));
  lease.held = true;
  lease.record = wanted;
  lease.gateway = gateway;
  lease.renewal_at_ms = RenewalAtMs(asked_at, asked_at + uint64_t{a.lifetime} * 1000);
  if (fresh) {
    LogInfo(kMsgLeased, a.external_port, status->internal_address.c_str(), port,
            ProtocolText(wanted.protocol), outside ? Ipv4Text(outside).c_str() : "unknown",
            static_cast<unsigned long>(a.lifetime));
  }
  status->state = PortMapState::kMapped;
  status->external_port = a.external_port;
  status->external_address = outside ? Ipv4Text(outside) : "";
  status->lease_ends = wanted.lease_end;
  return true;
}

void ReleaseLease(uint32_t gateway, const RecordStore& store) {
  Held& lease = Lease();
  if (lease.held) gateway = lease.gateway;
  lease.held = false;
  LeaseRecord recorded;
  if (!ReadLease(store, &recorded)) return;
  if (recorded.lease_end <= NowMs() / 1000) {
    store.clear(ToMappingRecord(recorded));
    return;
  }
  Channel c;
  if (gateway == 0 || !Open(gateway, &c)) return;  // judged when there is a route
  if (LeaseElsewhere(recorded, gateway, c.ours)) {
    // Not deleted through the wrong gateway: it ends by itself where it was granted.
    LogInfo(kMsgForgotten, recorded.external_port, Ipv4Text(recorded.address).c_str(),
            recorded.internal_port, ProtocolText(recorded.protocol),
            recorded.gateway ? Ipv4Text(recorded.gateway).c_str() : "unknown",
            UtcText(recorded.lease_end).c_str());
    store.clear(ToMappingRecord(recorded));
    return;
  }
  if (Delete(gateway, recorded)) store.clear(ToMappingRecord(recorded));
}

bool LeaseHeld() { return Lease().held; }

uint32_t LeaseGateway() { return Lease().gateway; }

uint32_t LeaseSleepMs(uint32_t look_ms) {
  const Held& lease = Lease();
  return SleepMs(NowMs(), lease.held, lease.renewal_at_ms, look_ms);
}
