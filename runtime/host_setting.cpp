#include "runtime/host_setting.h"

namespace {

bool IsHostByte(unsigned char c) {
  if (c <= ' ' || c == 0x7F) return false;
  switch (c) {
    case '/':
    case '\\':
    case '@':
    case '?':
    case '#':
    case ':':
      return false;
    default:
      return true;
  }
}

}  // namespace

bool ParsePortText(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseHostSetting(const std::string& text, HostSetting* setting) {
  const size_t colon = text.find(':');
  const std::string host = text.substr(0, colon);
  if (host.empty()) return false;
  for (char c : host) {
    if (!IsHostByte(static_cast<unsigned char>(c))) return false;
  }
  uint16_t port = 80;
  if (colon != std::string::npos && !ParsePortText(text.substr(colon + 1), &port)) return false;
  setting->host = host;
  setting->port = port;
  return true;
}

std::string BaseUrlOf(const HostSetting& setting) {
  std::string url = "http://" + setting.host;
  if (setting.port != 80) url += ":" + std::to_string(setting.port);
  return url + "/";
}
