// The machine fingerprint and its four sources. Every source fills a caller's
// zero-filled buffer and yields nothing on any failure; the platform record
// says where the answers come from (machine_platform.h). Main thread only:
// the agents the sources load are cached without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "identity/machine_platform.h"

// Fills the 16-byte MD5 fingerprint of the adapter address, disk serial,
// processor word and BIOS text; 16 zero bytes when a structured exception
// (or any C++ exception) interrupts it. Always returns true.
bool ComputeMachineFingerprint(uint8_t fingerprint[16]);
bool ComputeMachineFingerprint(const MachinePlatform& platform, uint8_t fingerprint[16]);

// 0 when an address was chosen into `address` (6 bytes), -1 otherwise.
int GetAdapterAddress(const MachinePlatform& platform, uint8_t address[6]);

// True when a serial was found; `buffer` (49 bytes) then holds it with its
// leftover bytes and zero padding, all of which the digest takes.
bool GetDiskSerial(const MachinePlatform& platform, uint8_t buffer[49]);

// CPUID leaf 1 EDX (after leaf 0); 0 when the instruction faults.
uint32_t GetProcessorFeatures();

// True when a BIOS identification text was found: its bytes in `buffer` (49),
// their count in `*length`.
bool GetBiosText(const MachinePlatform& platform, uint8_t buffer[49], size_t* length);

// The address lists of the two adapter methods, 6 bytes per address, in the
// order the platform gives them. Exposed for tests.
std::vector<uint8_t> SnmpAdapterAddresses(const SnmpAgent* agent);
std::vector<uint8_t> NetbiosAdapterAddresses(NetbiosFn netbios);
