#include "http_test_support.h"

#include <cstdarg>
#include <cstdio>

namespace http_test {

std::string Format(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

zrvd::unique_socket Connect(int port, DWORD timeout_ms, uint32_t from) {
  zrvd::unique_socket peer(socket(AF_INET, SOCK_STREAM, 0));
  setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
             sizeof(timeout_ms));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  if (from != INADDR_LOOPBACK) {
    address.sin_addr.s_addr = htonl(from);
    bind(peer.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  }
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(port));
  if (connect(peer.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    peer.reset();
  }
  return peer;
}

void SendText(SOCKET socket, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const int result = send(socket, text.data() + sent, static_cast<int>(text.size() - sent), 0);
    if (result <= 0) return;
    sent += static_cast<size_t>(result);
  }
}

std::string ReadHead(SOCKET socket) {
  std::string head;
  char c;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (recv(socket, &c, 1, 0) != 1) break;
    head.push_back(c);
  }
  return head;
}

std::string ReadExactly(SOCKET socket, size_t count) {
  std::string data(count, '\0');
  size_t got = 0;
  while (got < count) {
    const int result = recv(socket, &data[got], static_cast<int>(count - got), 0);
    if (result <= 0) break;
    got += static_cast<size_t>(result);
  }
  data.resize(got);
  return data;
}

std::string ReadToEnd(SOCKET socket) {
  std::string data;
  char buffer[65536];
  for (;;) {
    const int result = recv(socket, buffer, sizeof(buffer), 0);
    if (result <= 0) break;
    data.append(buffer, static_cast<size_t>(result));
  }
  return data;
}

bool ServerClosed(SOCKET socket) {
  char c;
  const int result = recv(socket, &c, 1, 0);
  if (result == 0) return true;
  return result == SOCKET_ERROR && WSAGetLastError() != WSAETIMEDOUT;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(5);
  }
  return true;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t found = head.find(key);
  if (found == std::string::npos) return std::string();
  const size_t start = found + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace http_test
