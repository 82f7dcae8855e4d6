// Keeps the peer port mapped on the player's gateway (UPnP IGD, spoken over
// Winsock by upnp_wire.h) from a "PortMap" thread of its own, so
// that start-up never waits for a router: one look at start, then one every
// kPortMappingLookSeconds and after every change of the setting. A look
// removes mappings an earlier run left behind and maps TCP <port> to
// <our address>:<port>; a port held by another machine is left alone. Without
// UPnP, or refused by it, the look asks by PCP / NAT-PMP (pcp_client.h).
//
// All functions are safe from any thread.
#pragma once

#include <cstdint>

#include "portmap/port_mapping_rules.h"

class IThreadManager;

// Starts the thread once, after the HTTP server listens on `port`. On a system
// without the NAT objects (the 9x family) it logs so once and starts nothing.
void StartPortMapping(IThreadManager* manager, uint16_t port);

// Reads the switch again (the engine key changed); wakes the thread when it moved.
void PortMappingSettingsChanged();

// Asks the thread to remove our mapping and end, without waiting: the handle
// of the thread to wait on (the mapper keeps it), or null when none runs.
void* AskPortMappingToStop();
// The same, then waits at most `wait_ms` for the thread.
void StopPortMapping(uint32_t wait_ms);

PortMapStatus ReadPortMapStatus();
