// The rule for requests that only the local machine may make.
#pragma once

#include <cstdint>
#include <string>

// A loopback peer may still be a web page in the player's browser: one reached
// through a rebound DNS name sends that name as Host, and one posting from
// another site sends that site as Origin. So a local request is answered only
// when `host` is "127.0.0.1:<port>", "localhost:<port>" or "[::1]:<port>", and
// one that changes state only when `origin` is empty (absent) or
// "http://127.0.0.1:<port>" or "http://localhost:<port>". `port` is the port the
// request came in on. Names compare without regard to ASCII case, as DNS does;
// blanks around a value are dropped; the port is its plain decimal text.
bool IsLocalRequest(const std::string& host, const std::string& origin, bool changes_state,
                    uint32_t port);
