#include "httpserver/keep_alive_rule.h"

bool KeepAliveFor(const std::string& version, const std::string& connection) {
  if (version == "HTTP/1.0") return connection.find("keep-alive") != std::string::npos;
  return connection.find("close") == std::string::npos;
}
