// Serves shared files to peers: "GET /<32 hex digits>" answers the file that the
// catalogue registers under that MD5 text, whole or one byte range of it.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

#include "catalogue/catalogue_view.h"
#include "httpserver/http_interfaces.h"
#include "httpserver/range_rule.h"
#include "uploadpolicy/upload_gate.h"

// What the handler needs of the catalogue: the shared-file catalogue itself, or
// a test's own. Both functions are called from many connection threads at once.
struct SharedFileSource {
  // The entry under `md5`, not checked against its file; false when there is
  // none (the source logs the miss).
  bool (*find)(const std::string& md5, CatalogueEntry* entry);
  // `seen` did not match its file: true with a fresher entry worth a try;
  // false when there is none (a stale entry is dropped on the way).
  bool (*recheck)(const std::string& md5, const CatalogueEntry& seen, CatalogueEntry* fresh);
};

// Stateless: many connection threads call it at once; each request opens its
// own read-shared handle on the file and checks that very handle against the
// entry, so bytes of a file that no longer matches its entry are never sent.
class HttpFileHandler : public IHttpHandler {
 public:
  // Answers under `gate`, which must outlive the handler; looks files up in
  // the shared-file catalogue, or in `source`.
  explicit HttpFileHandler(IUploadGate* gate);
  HttpFileHandler(IUploadGate* gate, SharedFileSource source);

  void Release() override;
  // -1 for anything but a GET of 32 hex digits after the URI's first character;
  // 1 when answered and kept open; 0 when answered and the socket is closed.
  int32_t HandleRequest(IHttpRequest* request, SOCKET socket) override;
  ~HttpFileHandler() override;

 private:
  // Opens the file of the entry under `md5` and checks the open file against
  // it. False when the file is not shared, gone, changed or not readable now;
  // `entry` keeps its path only in the last case, where the entry stands.
  bool OpenSharedFile(const std::string& md5, CatalogueEntry* entry, HANDLE* file,
                      int64_t* total);

  // Sends the answer for `range` of the open file of `total` bytes: 416 when
  // the range cannot be satisfied, else 200 or 206 and the body, counted as
  // served from file `md5` at `path`. True when every promised body byte was sent.
  bool SendFileRange(HANDLE file, int64_t total, const std::string& md5, const std::string& path,
                     bool keep_alive, bool lan, const RangeRequest& range, SOCKET socket);

  IUploadGate* const m_gate;
  const SharedFileSource m_source;
};
