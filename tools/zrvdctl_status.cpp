#include "tools/zrvdctl_status.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/unique_any.h"
#include "runtime/globals.h"

namespace {

int Fail(const char* text) {
  std::fprintf(stderr, "zrvdctl: %s\n", text);
  return 1;
}

bool ReadHttpPort(DWORD* port) {
  zrvd::unique_hkey key;
  DWORD type = 0;
  DWORD size = sizeof(*port);
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngineKeyPath, 0, KEY_QUERY_VALUE, key.put()) ==
             ERROR_SUCCESS &&
         RegQueryValueExA(key.get(), "HttpPort", nullptr, &type, reinterpret_cast<BYTE*>(port),
                          &size) == ERROR_SUCCESS &&
         type == REG_DWORD && *port > 0 && *port < 65536;
}

// Sends one request and prints the body of a 2xx answer as it came.
int Ask(const char* method, const char* path) {
  DWORD port = 0;
  if (!ReadHttpPort(&port)) return Fail("no HttpPort in the engine key: is the daemon running?");
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 0), &wsa) != 0) return Fail("cannot start Winsock");
  zrvd::unique_socket sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!sock || connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    return Fail("cannot connect to the engine's HTTP port");
  }
  // The engine answers these paths only to a Host that names loopback and its port.
  const std::string request = std::string(method) + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(port) +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  send(sock.get(), request.data(), static_cast<int>(request.size()), 0);
  std::string answer;
  char buffer[4096];
  for (;;) {
    const int got = recv(sock.get(), buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  const size_t body = answer.find("\r\n\r\n");
  if (answer.compare(0, 10, "HTTP/1.1 2") != 0 || body == std::string::npos) {
    return Fail("the engine did not answer the request");
  }
  std::fwrite(answer.data() + body + 4, 1, answer.size() - body - 4, stdout);
  return 0;
}

}  // namespace

int RunStatusCommand(const std::string& command, int argc, char** argv) {
  if (command == "status" && argc == 2) return Ask("GET", "/status?format=text");
  if (command == "status" && argc == 3 && std::strcmp(argv[2], "--json") == 0) {
    return Ask("GET", "/status");
  }
  if (command == "verify" && argc == 2) return Ask("POST", "/verify");
  return -1;
}
