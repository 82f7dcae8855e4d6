#include "httpserver/response_head.h"

#include "catalogue/number_text.h"

namespace {
constexpr char kCrLf[] = "\r\n";
constexpr char kDateLine[] = "Date: Mon, 24 May 2004 01:36:26 GMT\r\n";
constexpr char kAcceptRangesLine[] = "Accept-Ranges: bytes\r\n";
constexpr char kCloseLine[] = "Connection: close\r\n";
}  // namespace

std::string BuildResponseHead(int64_t total, bool keep_alive, const std::string& file_name,
                              int64_t length, int64_t begin) {
  std::string head;
  head += length == total ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 206 Partial Content\r\n";
  head += kDateLine;
  head += kAcceptRangesLine;
  head += "Content-length: " + Int64ToString(length) + kCrLf;
  head += "Content-Range: bytes " + Int64ToString(begin) + "-" +
          Int64ToString(begin + length - 1) + "/" + Int64ToString(total) + kCrLf;
  if (!keep_alive) head += kCloseLine;
  head += "Content-Type: application/octet-stream\r\n";
  if (!file_name.empty()) head += "Content-Disposition: filename=\"" + file_name + "\"" + kCrLf;
  head += kCrLf;
  return head;
}

std::string BuildUnsatisfiableHead(int64_t total, bool keep_alive) {
  std::string head = "HTTP/1.1 416 Range Not Satisfiable\r\n";
  head += kDateLine;
  head += kAcceptRangesLine;
  head += "Content-length: 0\r\n";
  head += "Content-Range: bytes */" + Int64ToString(total) + kCrLf;
  if (!keep_alive) head += kCloseLine;
  head += kCrLf;
  return head;
}

std::string FileNameOfPath(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BuildRefusedAnswer(uint32_t retry_after_s) {
  return "HTTP/1.1 503 Service Unavailable\r\nRetry-After: " + std::to_string(retry_after_s) +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}
