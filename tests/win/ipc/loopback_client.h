// A raw Winsock client on loopback, apart from the wrapper under test.
// The caller keeps Winsock started while it is used.
#pragma once

#include <winsock2.h>

#include <string>

#include "common/unique_any.h"

namespace zrvd_test {

class LoopbackClient {
 public:
  explicit LoopbackClient(int port) {
    m_socket.reset(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    to.sin_port = htons(static_cast<u_short>(port));
    m_connected = connect(m_socket.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
  }
  bool Connected() const { return m_connected; }
  bool Send(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      int n = send(m_socket.get(), data.data() + sent, static_cast<int>(data.size() - sent), 0);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  void ShutdownSend() { shutdown(m_socket.get(), SD_SEND); }
  // Reads until the peer closes; returns what came before the end (the engine
  // never answers, so this is empty), or "<error>" when the read failed.
  std::string ReadToEnd() {
    std::string got;
    char buffer[256];
    for (;;) {
      int n = recv(m_socket.get(), buffer, sizeof(buffer), 0);
      if (n == 0) return got;
      if (n < 0) return got + "<error>";
      got.append(buffer, static_cast<size_t>(n));
    }
  }
  bool SeesEnd() { return ReadToEnd().empty(); }

 private:
  zrvd::unique_socket m_socket;
  bool m_connected = false;
};

}  // namespace zrvd_test
