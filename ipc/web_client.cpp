#include "ipc/web_client.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

#include "ipc/http_answer.h"

namespace {

constexpr char kAgent[] = "Browser1.0";
constexpr DWORD kBlockBytes = 1024;
constexpr DWORD kLengthTextBytes = 32;

void SetTimeouts(HINTERNET internet) {
  DWORD timeout = kWebTimeoutMs;
  InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
  InternetSetOptionA(internet, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
  InternetSetOptionA(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
  // Each connect retry would wait the full time-out again.
  DWORD retries = 1;
  InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof(retries));
}

// Reads until `size` bytes are in or the stream ends or fails: one read may
// hand over only the first piece of a body that arrives in several.
void ReadAnnounced(HINTERNET request, char* buffer, DWORD size) {
  DWORD total = 0;
  while (total < size) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer + total, size - total, &got) || got == 0) return;
    total += got;
  }
}

void ReadBlocks(HINTERNET request, std::string* body) {
  char block[kBlockBytes];
  while (body->size() < kMaxBlockBody) {
    DWORD got = 0;
    if (!InternetReadFile(request, block, sizeof(block), &got) || got == 0) return;
    body->append(block, got);
  }
}

}  // namespace

CPxpWebClient::CPxpWebClient()
    : m_internet(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) {}

CPxpWebClient::~CPxpWebClient() = default;

bool CPxpWebClient::Get(const std::string& url, std::string* body) {
  if (!m_internet) return false;
  // Opened step by step rather than in one call, so that the time-outs can be
  // set on the request itself: not every wininet hands the root handle's
  // time-outs down to the handles it makes for a URL.
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = 1;  // non-zero: point into `url`
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      !parts.lpszHostName || parts.dwHostNameLength == 0) {
    return false;
  }
  const std::string host(parts.lpszHostName, parts.dwHostNameLength);
  std::string target;
  if (parts.lpszUrlPath) target.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) target.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (target.empty()) target = "/";

  SetTimeouts(m_internet.get());
  zrvd::unique_hinternet connection(InternetConnectA(m_internet.get(), host.c_str(), parts.nPort,
                                                     nullptr, nullptr, INTERNET_SERVICE_HTTP, 0,
                                                     0));
  if (!connection) return false;
  SetTimeouts(connection.get());
  DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  // The one-call open sends "Accept: */*"; the tracker sees the same head.
  const char* accept_types[] = {"*/*", nullptr};
  zrvd::unique_hinternet request(HttpOpenRequestA(connection.get(), "GET", target.c_str(), nullptr,
                                                  nullptr, accept_types, flags, 0));
  if (!request) return false;
  SetTimeouts(request.get());
  if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) return false;

  DWORD status = 0;
  DWORD status_size = sizeof(status);
  const bool status_known =
      HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                     &status_size, nullptr) != FALSE;
  if (!IsAcceptedStatus(status_known, status)) return false;

  char length_text[kLengthTextBytes] = {};
  DWORD length_size = sizeof(length_text);
  uint32_t announced = 0;
  if (HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_LENGTH, length_text, &length_size,
                     nullptr) == TRUE &&
      ParseContentLength(length_text, length_size < sizeof(length_text) ? length_size
                                                                        : sizeof(length_text),
                         &announced)) {
    std::vector<char> buffer(static_cast<size_t>(announced) + 1, '\0');
    ReadAnnounced(request.get(), buffer.data(), announced);
    body->assign(buffer.data(), announced);
    return true;
  }
  ReadBlocks(request.get(), body);
  return true;
}
