#include "httpserver/http_file_handler.h"

#include <windows.h>

#include <cstring>

#include "catalogue/file_check.h"
#include "catalogue/number_text.h"
#include "common/unique_any.h"
#include "httpserver/answer_blocks.h"
#include "httpserver/http_limits.h"
#include "httpserver/http_log_text.h"
#include "httpserver/keep_alive_rule.h"
#include "httpserver/response_head.h"
#include "httpserver/socket_io.h"
#include "runtime/log.h"

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

HttpFileHandler::HttpFileHandler(IUploadGate* gate, SharedFileSource source)
    : m_gate(gate), m_source(source) {}

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
  if (m_gate->Paused()) {
    zrvd::unique_socket closing(socket);
    SendAll(closing.get(), kPausedAnswer, static_cast<int32_t>(kPausedAnswerSize));
    shutdown(closing.get(), SD_SEND);
    return kHttpClosed;
  }
  const bool lan = request->PeerIsLan();
  if (!lan && m_gate->InternetRefused()) {
    zrvd::unique_socket closing(socket);
    SendText(closing.get(), BuildRefusedAnswer(m_gate->RetryAfter()));
    shutdown(closing.get(), SD_SEND);
    return kHttpClosed;
  }

  CatalogueEntry entry;
  HANDLE opened = INVALID_HANDLE_VALUE;
  int64_t total = 0;
  const bool shared = OpenSharedFile(md5, &entry, &opened, &total);
  zrvd::unique_hfile file(opened);
  LogInfo(http_log::kRequestedFile, entry.local_path.c_str());

  const std::string range_value = request->GetHeader("RANGE");
  const RangeRequest range = ParseRangeHeader(range_value);
  if (range.given) LogInfo(http_log::kEndOffsetText, range.end_text.c_str());
  LogInfo(http_log::kBeginOffset, Int64ToString(range.begin).c_str());
  LogInfo(http_log::kEndOffset, Int64ToString(range.end).c_str());

  bool keep_alive = KeepAliveFor(request->GetVersion(), request->GetHeader("CONNECTION"));
  if (shared) m_gate->AddServedRequest();
  const bool complete = shared ? SendFileRange(file.get(), total, md5, entry.local_path,
                                               keep_alive, lan, request->PeerAddress(), range,
                                               socket)
                               : SendNotFound(socket);
  file.reset();
  if (!complete) keep_alive = false;
  if (keep_alive) return kHttpKeepOpen;

  zrvd::unique_socket closing(socket);
  shutdown(closing.get(), SD_SEND);
  return kHttpClosed;
}

bool HttpFileHandler::OpenSharedFile(const std::string& md5, CatalogueEntry* entry, HANDLE* file,
                                     int64_t* total) {
  if (!m_source.find(md5, entry)) {
    entry->local_path.clear();
    return false;
  }
  // The entry may lag a rewrite by a moment: one fresher try before giving up.
  for (int attempt = 0; attempt < 2; ++attempt) {
    zrvd::unique_hfile opened(CreateFileA(entry->local_path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (opened) {
      if (OpenFileMatchesEntry(opened.get(), *entry, total)) {
        *file = opened.release();
        return true;
      }
    } else {
      const DWORD error = GetLastError();
      // A file that a writer holds without sharing reads is still there: it is
      // not served now, and its entry stays.
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
          error == ERROR_ACCESS_DENIED) {
        return false;
      }
    }
    if (!m_source.recheck(md5, *entry, entry)) break;
  }
  entry->local_path.clear();  // no entry stands for this file now
  return false;
}

bool HttpFileHandler::SendFileRange(HANDLE file, int64_t total, const std::string& md5,
                                    const std::string& path, bool keep_alive, bool lan,
                                    uint32_t peer, const RangeRequest& range, SOCKET socket) {
  const std::string file_name = FileNameOfPath(path);
  const ResolvedRange resolved = ResolveRange(range, total);
  if (!resolved.satisfiable) return SendText(socket, BuildUnsatisfiableHead(total, keep_alive));

  const int64_t length = resolved.length;
  const std::string head = BuildResponseHead(total, keep_alive, file_name, length, resolved.begin);

  const int64_t answer_size = static_cast<int64_t>(head.size()) + length;
  // A small answer takes what it needs; any other a whole block, which is
  // mapped and given back whole rather than left to fragment the heap.
  AnswerBlockPool::Lease block = AnswerBlockPool::Shared().Take(
      answer_size <= static_cast<int64_t>(http_limits::kBlockingAnswerBytes)
          ? static_cast<size_t>(answer_size)
          : http_limits::kAnswerBlockBytes);
  char stack_buffer[http_limits::kFallbackChunkBytes];
  char* buffer = block ? block.data() : stack_buffer;
  const size_t capacity = block ? block.size() : sizeof(stack_buffer);

  // A long answer goes out non-blocking with its progress watched, so that a
  // slow peer that keeps reading is never cut off by a single long send, and
  // one that barely reads is; the connection then stays non-blocking.
  const bool watched =
      IsKeptNonBlocking(socket) ||
      (answer_size > static_cast<int64_t>(http_limits::kBlockingAnswerBytes) &&
       KeepNonBlocking(socket));
  WatchedAnswer watch(ThreadAnswerRules());
  IUploadGate* const gate = m_gate;
  // A LAN peer does not spend the uplink: outside the caps unless the player
  // says otherwise. An internet peer's answer ends as a pause ends it when
  // internet peers come to be refused.
  const bool capped = !lan || !gate->LanUncapped();
  const std::atomic<bool>* stop = lan ? gate->PausedFlag() : gate->InternetStopFlag();
  const auto send_piece = [&](const char* data, int32_t count) {
    return watched ? watch.Send(socket, data, count, stop) : SendAll(socket, data, count);
  };
  // Every byte draws on the shared budget, an internet peer's also on the
  // delay control's rate; a pause ends the answer. The wait for a turn is not
  // the peer's sending time. An internet turn is no larger than what is left of
  // the month's budget, so answers side by side stop at it.
  const auto send_out = [&](const char* data, int32_t count) {
    int32_t done = 0;
    while (done < count) {
      if (stop->load()) break;
      const DWORD asked = GetTickCount();
      const uint32_t want = static_cast<uint32_t>(count - done);
      const uint32_t granted = capped ? gate->Acquire(want, lan, peer) : want;
      watch.ExcludeSince(asked);
      const int32_t turn = static_cast<int32_t>(lan ? granted : gate->InternetTurn(granted));
      if (turn == 0) break;
      const int32_t sent = send_piece(data + done, turn);
      // Counted per turn, heads included.
      gate->AddSent(lan, lan ? 0 : static_cast<uint64_t>(turn),
                    sent > 0 ? static_cast<uint64_t>(sent) : 0);
      done += sent;
      if (sent != turn) break;
    }
    return done;
  };

  // The head goes out together with the first chunk of the body: one send less.
  bool head_sent = true;
  size_t pending_head = 0;
  if (head.size() < capacity) {
    std::memcpy(buffer, head.data(), head.size());
    pending_head = head.size();
  } else {
    const int32_t size = static_cast<int32_t>(head.size());
    head_sent = send_out(head.data(), size) == size;
  }

  // One seek, then plain reads: a read that carries its own offset costs an
  // extra server round trip under Wine.
  LARGE_INTEGER position;
  position.QuadPart = resolved.begin;
  SetFilePointerEx(file, position, nullptr, FILE_BEGIN);

  int64_t sent = 0;
  while (head_sent && (sent < length || pending_head != 0)) {
    const int64_t left = length - sent;
    const int64_t room = static_cast<int64_t>(capacity - pending_head);
    const DWORD want = static_cast<DWORD>(left < room ? left : room);
    DWORD got = 0;
    if (want > 0 && !ReadFile(file, buffer + pending_head, want, &got, nullptr)) got = 0;
    const int32_t out_sent = send_out(buffer, static_cast<int32_t>(pending_head + got));
    if (out_sent < static_cast<int32_t>(pending_head)) {
      head_sent = false;
      break;
    }
    const int32_t body_sent = out_sent - static_cast<int32_t>(pending_head);
    pending_head = 0;
    if (body_sent > 0) {
      m_gate->AddServedBytes(md5, path, static_cast<uint64_t>(body_sent));
    }
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
