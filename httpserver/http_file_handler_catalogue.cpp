// The handler's link to the shared-file catalogue, apart so that code which
// gives the handler its own lookup does not link the catalogue.
#include "catalogue/shared_file_list.h"
#include "httpserver/http_file_handler.h"

namespace {
std::string LookUpInCatalogue(const std::string& md5) {
  return SharedFileList::Instance()->GetLocalPath(md5);
}
}  // namespace

HttpFileHandler::HttpFileHandler() : HttpFileHandler(&LookUpInCatalogue) {}
