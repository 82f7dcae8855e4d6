// One bounded HTTP exchange with the gateway over our own socket.
#pragma once

#include <winsock2.h>

#include <string>

#include "portmap/upnp_wire.h"

// One SOAP request, connect to last byte.
constexpr DWORD kRequestMs = 2000;

// Waits until `s` is ready or `deadline` (GetTickCount) passes; a stop ends it.
bool Ready(SOCKET s, bool write, DWORD deadline);

// The request out, at most kMaxUpnpAnswer bytes of answer in, within `ms`.
bool Exchange(const HttpUrl& url, const std::string& request, DWORD ms, std::string* answer);
