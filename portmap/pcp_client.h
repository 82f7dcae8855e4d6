// The PCP / NAT-PMP side of the port mapping, on the "PortMap" thread: asks the
// default gateway over UDP 5351 when UPnP found no gateway or was refused,
// holds the lease (renewed at half its life, recorded in the engine key) and
// deletes it (lifetime 0). Called from that thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "portmap/port_mapping_rules.h"

// Asks for TCP `port` on the default gateway (PCP, then NAT-PMP if that is all
// it speaks), or renews the lease held. True when the gateway answered, granted
// or refused: `status` then says so. Gives up within about 10 s per protocol,
// at once when `stopping` turns true.
bool MapByLease(uint16_t port, PortMapStatus* status, const std::function<bool()>& stopping);

// Deletes the lease this run holds, or one a run that did not end cleanly left
// in the engine key's record.
void ReleaseLease();
void ReleaseLeftoverLease();

bool LeaseHeld();

// How long the thread may sleep: `look_ms`, or less when the lease is due for renewal.
uint32_t LeaseSleepMs(uint32_t look_ms);
