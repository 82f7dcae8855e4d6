// Our address as the router knows it, and the router itself: the default route's next hop.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

// The source address toward the next hop of the default route, with that hop in
// `next_hop`; empty when there is no default route.
std::string LocalAddress(in_addr* next_hop);

// The next hop of the default route (0.0.0.0/0 at the lowest metric, else the
// route toward a public address), host byte order; 0: none.
uint32_t DefaultRouteNextHop();
