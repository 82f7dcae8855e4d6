// Our address as the router knows it, and the router itself: the default route's next hop.
#pragma once

#include <winsock2.h>

#include <string>

// The source address toward the next hop of the default route, with that hop in
// `next_hop`; empty when there is no default route.
std::string LocalAddress(in_addr* next_hop);
