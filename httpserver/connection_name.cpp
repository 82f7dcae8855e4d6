#include "httpserver/connection_name.h"

std::string ConnectionThreadName(uintptr_t connection_address) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), kDigits[connection_address & 0xF]);
    connection_address >>= 4;
  } while (connection_address != 0);
  return "HttpConn " + hex;
}
