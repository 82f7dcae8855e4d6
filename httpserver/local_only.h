// The rule for requests that only the local machine may make.
#pragma once

#include <cstdint>

// True for an IPv4 address in 127.0.0.0/8, given in host byte order.
inline bool IsLoopbackAddress(uint32_t address) { return (address >> 24) == 127; }
