// ceiling_server FOLDER [PORT]: the least a Win32 file server can do per request, so that
// the peer download benchmark can show the daemon beside what the platform allows.
//
// One thread per connection. Per request: the head with one recv (more only while it is
// incomplete), then CreateFileA, GetFileSizeEx, SetFilePointerEx, one ReadFile of the
// range, CloseHandle, and head and body in one send. (Under Wine the seek costs no server
// round trip; a ReadFile at an OVERLAPPED offset instead costs one more.)
//
// `GET /<name>` serves FOLDER\<name>. `Range: bytes=B-E` or `bytes=B-` gives 206 with
// Content-Range (an end past the file is cut back to its last byte); no range gives 200.
// Connections stay open until the peer closes, sends `Connection: close`, or idles for a
// minute.
//
// Bodies longer than kPieceBytes (whole files and ranges over 1 MiB; the benchmark's ranges
// are 16 KiB and 1 MiB) go out as a loop of ReadFile and send of 1 MiB pieces, the head with
// the first: a connection's buffer never exceeds 1 MiB and a head.
//
// Listens on 127.0.0.1 only and prints "port <n>" on stdout once it listens. A benchmark
// reference, not a product: no logging, no percent decoding, plain names only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/unique_any.h"

namespace {

// Matches the daemon's bound, so that both hold the same idle connections.
constexpr LONG kMaxConnections = 1000;
// Reserved, not committed, as in the daemon: 1,000 threads must fit a 32-bit process.
constexpr DWORD kStackReserve = 256 * 1024;
constexpr size_t kMaxHeadBytes = 16 * 1024;
// Largest single read and send; see the header comment.
constexpr size_t kPieceBytes = 1 << 20;
constexpr DWORD kIdleTimeoutMs = 60 * 1000;
constexpr DWORD kSendTimeoutMs = 60 * 1000;
constexpr size_t kNoHead = std::string::npos;

volatile LONG g_connections = 0;
std::string g_folder;

struct Request {
  std::string name;
  bool has_range = false;
  unsigned long long first = 0;
  unsigned long long last = ~0ull;  // none given: to the end
  bool close = false;
};

bool StartsWithNoCase(const char* text, const char* prefix) {
  return _strnicmp(text, prefix, strlen(prefix)) == 0;
}

// Parses "GET /name HTTP/1.x" and the two headers we honour. False: answer 400 and close.
bool ParseHead(const std::string& head, Request* request) {
  if (head.compare(0, 5, "GET /") != 0) return false;
  const size_t name_end = head.find(' ', 5);
  if (name_end == kNoHead) return false;
  request->name = head.substr(5, name_end - 5);
  if (request->name.empty() || request->name[0] == '.' ||
      request->name.find_first_of("/\\:") != kNoHead) {
    return false;
  }
  request->close = head.compare(name_end + 1, 8, "HTTP/1.0") == 0;
  for (size_t line = head.find("\r\n"); line != kNoHead && line + 2 < head.size();
       line = head.find("\r\n", line + 2)) {
    const char* text = head.c_str() + line + 2;
    if (StartsWithNoCase(text, "Range: bytes=")) {
      char* end = nullptr;
      request->first = strtoull(text + 13, &end, 10);
      if (end == text + 13 || *end != '-') return false;
      request->has_range = true;
      if (end[1] >= '0' && end[1] <= '9') request->last = strtoull(end + 1, nullptr, 10);
      if (request->last < request->first) return false;
    } else if (StartsWithNoCase(text, "Connection: close")) {
      request->close = true;
    } else if (StartsWithNoCase(text, "Connection: keep-alive")) {
      request->close = false;
    }
  }
  return true;
}

bool SendAll(SOCKET socket, const char* data, size_t size) {
  while (size > 0) {
    const int sent = send(socket, data, static_cast<int>(size), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool SendStatusOnly(SOCKET socket, const char* status) {
  char head[128];
  const int size = snprintf(head, sizeof(head),
                            "HTTP/1.1 %s\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n",
                            status);
  return SendAll(socket, head, static_cast<size_t>(size));
}

// Answers one request; false when the connection must end.
bool Answer(SOCKET socket, const Request& request, std::vector<char>* buffer) {
  const std::string path = g_folder + "\\" + request.name;
  zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return SendStatusOnly(socket, "404 Not Found");
  LARGE_INTEGER size_value;
  if (!GetFileSizeEx(file.get(), &size_value)) return false;
  const unsigned long long size = static_cast<unsigned long long>(size_value.QuadPart);
  if (request.first >= size && (request.has_range || size != 0)) {
    return SendStatusOnly(socket, "416 Range Not Satisfiable");
  }
  const unsigned long long last = request.last < size ? request.last : size - 1;
  unsigned long long left = size == 0 ? 0 : last - request.first + 1;

  char head[256];
  int head_size;
  if (request.has_range) {
    head_size = snprintf(head, sizeof(head),
                         "HTTP/1.1 206 Partial Content\r\nContent-Length: %llu\r\n"
                         "Content-Range: bytes %llu-%llu/%llu\r\nConnection: %s\r\n\r\n",
                         left, request.first, last, size, request.close ? "close" : "keep-alive");
  } else {
    head_size = snprintf(head, sizeof(head),
                         "HTTP/1.1 200 OK\r\nContent-Length: %llu\r\nConnection: %s\r\n\r\n",
                         left, request.close ? "close" : "keep-alive");
  }
  unsigned long long offset = request.first;
  size_t prefix = static_cast<size_t>(head_size);
  const size_t want = prefix + static_cast<size_t>(left < kPieceBytes ? left : kPieceBytes);
  if (buffer->size() < want) buffer->resize(want);
  memcpy(buffer->data(), head, prefix);
  do {
    const DWORD piece = static_cast<DWORD>(left < kPieceBytes ? left : kPieceBytes);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    if (piece > 0 && (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
                      !ReadFile(file.get(), buffer->data() + prefix, piece, &read, nullptr) ||
                      read != piece)) {
      return false;  // the file shrank under us: the promised length cannot be kept
    }
    if (!SendAll(socket, buffer->data(), prefix + piece)) return false;
    offset += piece;
    left -= piece;
    prefix = 0;
  } while (left > 0);
  return !request.close;
}

// Takes the next head off `received`, receiving only while it is incomplete.
bool ReceiveHead(SOCKET socket, std::string* received, std::string* head) {
  size_t end;
  while ((end = received->find("\r\n\r\n")) == kNoHead) {
    if (received->size() >= kMaxHeadBytes) return false;
    char chunk[kMaxHeadBytes];
    const int got = recv(socket, chunk, static_cast<int>(sizeof(chunk)), 0);
    if (got <= 0) return false;
    received->append(chunk, static_cast<size_t>(got));
  }
  head->assign(*received, 0, end + 2);
  received->erase(0, end + 4);  // a pipelined request stays for the next turn
  return true;
}

DWORD WINAPI ServeConnection(void* argument) {
  zrvd::unique_socket socket(reinterpret_cast<SOCKET>(argument));
  const DWORD idle = kIdleTimeoutMs;
  const DWORD send_timeout = kSendTimeoutMs;
  setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&idle),
             sizeof(idle));
  setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout),
             sizeof(send_timeout));
  std::vector<char> buffer;
  std::string received;
  std::string head;
  while (ReceiveHead(socket.get(), &received, &head)) {
    Request request;
    if (!ParseHead(head, &request)) {
      SendStatusOnly(socket.get(), "400 Bad Request");
      break;
    }
    if (!Answer(socket.get(), request, &buffer)) break;
  }
  shutdown(socket.get(), SD_SEND);
  socket.reset();
  InterlockedDecrement(&g_connections);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: ceiling_server FOLDER [PORT]\n");
    return 1;
  }
  g_folder = argv[1];
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  zrvd::unique_socket listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(argc == 3 ? atoi(argv[2]) : 0));
  int address_size = sizeof(address);
  if (!listener ||
      bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener.get(), SOMAXCONN) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &address_size) != 0) {
    fprintf(stderr, "ceiling_server: cannot listen: %d\n", WSAGetLastError());
    return 1;
  }
  printf("port %u\n", ntohs(address.sin_port));
  fflush(stdout);

  for (;;) {
    zrvd::unique_socket peer(accept(listener.get(), nullptr, nullptr));
    if (!peer) {
      Sleep(100);  // out of buffers, say: do not spin
      continue;
    }
    if (InterlockedIncrement(&g_connections) > kMaxConnections) {
      InterlockedDecrement(&g_connections);
      continue;
    }
    HANDLE thread = CreateThread(nullptr, kStackReserve, ServeConnection,
                                 reinterpret_cast<void*>(peer.get()),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
      InterlockedDecrement(&g_connections);
      continue;
    }
    peer.release();  // the thread owns it now
    CloseHandle(thread);
  }
}
