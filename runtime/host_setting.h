// The outside hosts the engine talks to are settings: "host" or "host:port".
#pragma once

#include <cstdint>
#include <string>

struct HostSetting {
  std::string host;
  uint16_t port = 80;
};

constexpr char kDefaultTrackerHost[] = "tracker.morwick.example";
constexpr char kDefaultProbeHost[] = "probe.morwick.example";

// A port as decimal digits, 1 to 65535, nothing else: the one reader of port
// texts (settings, records, what a router sends). False, `port` untouched, otherwise.
bool ParsePortText(const std::string& text, uint16_t* port);

// Reads "host" (port 80) or "host:port" (port 1 to 65535, decimal digits).
// False, with `setting` untouched, for an empty host, a host holding a blank,
// a control byte, '/', '\\', '@', '?' or '#', a second ':', or a bad port: such
// a value names no host we could reach, so the caller falls back to its default.
bool ParseHostSetting(const std::string& text, HostSetting* setting);

// "http://host/" for port 80, "http://host:port/" otherwise.
std::string BaseUrlOf(const HostSetting& setting);
