// The PCP / NAT-PMP side of the port mapping, on the "PortMap" thread: asks the
// default gateway over UDP 5351 when UPnP found no gateway or was refused,
// holds the lease (renewed at half its life) and deletes it (lifetime 0). The
// lease is kept in the engine key's record, through `store`. Called from that
// thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "portmap/port_mapping_rules.h"

struct RecordStore {
  std::function<std::string()> read;                // the record's text, empty when none
  std::function<bool(const MappingRecord&)> write;
  std::function<void(const MappingRecord&)> clear;  // only while it still names this one
};

// Asks `gateway` (IPv4, host order: the default route's next hop) for TCP `port`
// (PCP, then NAT-PMP if that is all it speaks), or renews the lease held. True
// when the gateway answered, granted or refused: `status` then says so. Gives up
// within about 10 s per protocol; `stopping` ends the retransmissions.
bool MapByLease(uint32_t gateway, uint16_t port, PortMapStatus* status,
                const std::function<bool()>& stopping, const RecordStore& store);

// Deletes the lease the record names: this run's (through its gateway), or one
// a run that did not end cleanly left (through `gateway`); an expired one is
// only forgotten. The record stays while the gateway has not answered.
void ReleaseLease(uint32_t gateway, const RecordStore& store);

bool LeaseHeld();
uint32_t LeaseGateway();  // where the held lease was granted

// How long the thread may sleep: `look_ms`, or less when the lease is due for renewal.
uint32_t LeaseSleepMs(uint32_t look_ms);
