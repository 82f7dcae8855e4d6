// Thread names of the server's connections.
#pragma once

#include <cstdint>
#include <string>

// "HttpConn " and the connection object's address in lowercase hex, no prefix:
// unique among live connections, so the thread registry accepts it.
std::string ConnectionThreadName(uintptr_t connection_address);
