// Serves shared files to peers: "GET /<32 hex digits>" answers the file that the
// catalogue registers under that MD5 text, whole or one byte range of it.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <functional>
#include <string>

#include "httpserver/http_interfaces.h"
#include "httpserver/range_rule.h"

// Stateless: many connection threads call it at once; each call opens its own
// read-shared handle on the file.
class HttpFileHandler : public IHttpHandler {
 public:
  // Given an MD5 text, the local path of the shared file, or empty text.
  using LocalPathLookup = std::string (*)(const std::string& md5);

  // Looks files up in the shared-file catalogue.
  HttpFileHandler();
  explicit HttpFileHandler(LocalPathLookup lookup);

  void Release() override;
  // -1 for anything but a GET of 32 hex digits after the URI's first character;
  // 1 when answered and kept open; 0 when answered and the socket is closed.
  int32_t HandleRequest(IHttpRequest* request, SOCKET socket) override;
  ~HttpFileHandler() override;

  // Sends the answer for `range` of the file: 404 when there is no path or the
  // file cannot be opened, 416 when the range cannot be satisfied, else 200 or
  // 206 and the body. True when every promised body byte was sent.
  // `still_shared`, when given, is asked once the file is open; false answers
  // 404 as for a file that is not shared.
  static bool SendFileRange(const std::string& local_path, bool keep_alive,
                            const RangeRequest& range, SOCKET socket,
                            const std::function<bool()>& still_shared = {});

 private:
  const LocalPathLookup m_lookup;
};
