#include "tools/zrvdctl_status.h"

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

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

// Sends one request; the body of a 2xx answer in *body.
int Exchange(const char* method, const char* path, const std::string& headers, std::string* body) {
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
                              std::to_string(port) + "\r\n" + headers +
                              "Content-Length: 0\r\nConnection: close\r\n\r\n";
  send(sock.get(), request.data(), static_cast<int>(request.size()), 0);
  std::string answer;
  char buffer[4096];
  for (;;) {
    const int got = recv(sock.get(), buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  const size_t end = answer.find("\r\n\r\n");
  if (answer.compare(0, 10, "HTTP/1.1 2") != 0 || end == std::string::npos) {
    return Fail("the engine did not answer the request");
  }
  body->assign(answer, end + 4, std::string::npos);
  return 0;
}

// The engine's UTF-8 text in the console's code page (the ANSI one when there
// is no console), so that a Chinese path reads as written.
void PrintUtf8(const std::string& text) {
  const int wide_size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_size > 0 ? wide_size : 0), L'\0');
  if (wide_size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                        wide_size);
  }
  UINT page = GetConsoleOutputCP();
  if (page == 0) page = CP_ACP;
  const int size = WideCharToMultiByte(page, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(page, 0, wide.data(), static_cast<int>(wide.size()), &out[0], size,
                        nullptr, nullptr);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

int Print(const char* method, const char* path) {
  std::string body;
  const int code = Exchange(method, path, "", &body);
  if (code == 0) std::fwrite(body.data(), 1, body.size(), stdout);
  return code;
}

// The page's token, read from the status JSON as the page reads it: the engine
// takes an action only with it, from anyone.
int Verify() {
  std::string json;
  if (Exchange("GET", "/status", "", &json) != 0) return 1;
  const std::string mark = "\"token\":\"";
  const size_t at = json.find(mark);
  const size_t end = at == std::string::npos ? at : json.find('"', at + mark.size());
  if (end == std::string::npos) return Fail("the engine gave no token");
  const std::string token = json.substr(at + mark.size(), end - at - mark.size());
  std::string body;
  const int code = Exchange("POST", "/verify", "X-Status-Token: " + token + "\r\n", &body);
  if (code == 0) std::fwrite(body.data(), 1, body.size(), stdout);
  return code;
}

int Open() {
  DWORD port = 0;
  if (!ReadHttpPort(&port)) return Fail("no HttpPort in the engine key: is the daemon running?");
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  // ShellExecute's documented success is a value above 32.
  const INT_PTR result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32 ? 0 : Fail("no browser opened the page");
}

}  // namespace

int RunStatusCommand(const std::string& command, int argc, char** argv) {
  if (command == "status" && argc == 2) {
    std::string table;
    const int code = Exchange("GET", "/status?format=text", "", &table);
    if (code == 0) PrintUtf8(table);
    return code;
  }
  if (command == "status" && argc == 3 && std::strcmp(argv[2], "--json") == 0) {
    return Print("GET", "/status");
  }
  if (command == "verify" && argc == 2) return Verify();
  if (command == "open" && argc == 2) return Open();
  return -1;
}
