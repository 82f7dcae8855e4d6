#include "httpserver/http_file_handler.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <new>

#include "catalogue/number_text.h"
#include "common/unique_any.h"
#include "engine/log.h"
#include "httpserver/http_limits.h"
#include "httpserver/http_log_text.h"
#include "httpserver/keep_alive_rule.h"
#include "httpserver/response_head.h"
#include "httpserver/socket_io.h"

namespace {

constexpr size_t kMd5TextSize = 32;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool SendText(SOCKET socket, const std::string& text) {
  const int32_t size = static_cast<int32_t>(text.size());
  return SendAll(socket, text.data(), size) == size;
}

bool SendNotFound(SOCKET socket) {
  SendAll(socket, kNotFoundAnswer, static_cast<int32_t>(kNotFoundAnswerSize));
  return false;
}

}  // namespace

HttpFileHandler::HttpFileHandler(LocalPathLookup lookup) : m_lookup(lookup) {}

HttpFileHandler::~HttpFileHandler() = default;

void HttpFileHandler::Release() { delete this; }

int32_t HttpFileHandler::HandleRequest(IHttpRequest* request, SOCKET socket) {
  if (std::strcmp(request->GetMethod(), "GET") != 0) return kHttpDeclined;
  const char* uri = request->GetURI();
  if (std::strlen(uri) < 1 + kMd5TextSize) return kHttpDeclined;
  const std::string md5(uri + 1, kMd5TextSize);
  for (char c : md5) {
    if (!IsHexDigit(c)) return kHttpDeclined;
  }

  const std::string local_path = m_lookup(md5);
  LogInfo(http_log::kRequestedFile, local_path.c_str());

  const std::string range_value = request->GetHeader("RANGE");
  const RangeRequest range = ParseRangeHeader(range_value);
  if (range.given) LogInfo(http_log::kEndOffsetText, range.end_text.c_str());
  LogInfo(http_log::kBeginOffset, Int64ToString(range.begin).c_str());
  LogInfo(http_log::kEndOffset, Int64ToString(range.end).c_str());

  bool keep_alive = KeepAliveFor(request->GetVersion(), request->GetHeader("CONNECTION"));
  // The lookup vouched for the file at the path before it was opened; a file
  // replaced in between would go out under the old MD5. With the handle open
  // the path can no longer be replaced, so asking again settles it.
  const auto still_shared = [&] { return !local_path.empty() && m_lookup(md5) == local_path; };
  if (!SendFileRange(local_path, keep_alive, range, socket, still_shared)) keep_alive = false;
  if (keep_alive) return kHttpKeepOpen;

  zrvd::unique_socket closing(socket);
  shutdown(closing.get(), SD_SEND);
  return kHttpClosed;
}

bool HttpFileHandler::SendFileRange(const std::string& local_path, bool keep_alive,
                                    const RangeRequest& range, SOCKET socket,
                                    const std::function<bool()>& still_shared) {
  if (local_path.empty()) return SendNotFound(socket);
  zrvd::unique_hfile file(CreateFileA(local_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(file.get(), &size)) return SendNotFound(socket);
  if (still_shared && !still_shared()) return SendNotFound(socket);
  const int64_t total = size.QuadPart;

  const ResolvedRange resolved = ResolveRange(range, total);
  if (!resolved.satisfiable) return SendText(socket, BuildUnsatisfiableHead(total, keep_alive));

  LARGE_INTEGER position;
  position.QuadPart = resolved.begin;
  SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN);
  const int64_t length = resolved.length;
  const std::string head =
      BuildResponseHead(total, keep_alive, FileNameOfPath(local_path), length, resolved.begin);

  char stack_buffer[http_limits::kFallbackChunkBytes];
  char* buffer = stack_buffer;
  size_t capacity = sizeof(stack_buffer);
  std::unique_ptr<char[]> heap_buffer;
  const int64_t answer_size = static_cast<int64_t>(head.size()) + length;
  if (answer_size > static_cast<int64_t>(capacity)) {
    const size_t size = answer_size < static_cast<int64_t>(http_limits::kFileChunkBytes)
                            ? static_cast<size_t>(answer_size)
                            : http_limits::kFileChunkBytes;
    heap_buffer.reset(new (std::nothrow) char[size]);
    if (heap_buffer) {
      buffer = heap_buffer.get();
      capacity = size;
    }
  }

  // The head goes out together with the first chunk of the body: one send less.
  bool head_sent = true;
  size_t pending_head = 0;
  if (head.size() < capacity) {
    std::memcpy(buffer, head.data(), head.size());
    pending_head = head.size();
  } else {
    head_sent = SendText(socket, head);
  }

  int64_t sent = 0;
  while (head_sent && (sent < length || pending_head != 0)) {
    const int64_t left = length - sent;
    const int64_t room = static_cast<int64_t>(capacity - pending_head);
    const DWORD want = static_cast<DWORD>(left < room ? left : room);
    DWORD got = 0;
    if (want > 0 && !ReadFile(file.get(), buffer + pending_head, want, &got, nullptr)) got = 0;
    const int32_t out_sent =
        SendAll(socket, buffer, static_cast<int32_t>(pending_head + got));
    if (out_sent < static_cast<int32_t>(pending_head)) {
      head_sent = false;
      break;
    }
    const int32_t body_sent = out_sent - static_cast<int32_t>(pending_head);
    pending_head = 0;
    if (body_sent != static_cast<int32_t>(got)) {
      LogInfo(http_log::kShortSend, static_cast<int>(got), static_cast<int>(body_sent));
      break;
    }
    sent += body_sent;
    if (got < 1) break;  // the file ends before the range does
  }
  LogInfo(http_log::kSentTotal, Int64ToString(sent).c_str(), Int64ToString(length).c_str());
  return head_sent && sent == length;
}
