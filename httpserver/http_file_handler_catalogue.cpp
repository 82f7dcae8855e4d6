// The handler's link to the shared-file catalogue, apart so that code which
// gives the handler its own source does not link the catalogue.
#include "catalogue/shared_file_list.h"
#include "httpserver/http_file_handler.h"

namespace {
bool FindInCatalogue(const std::string& md5, CatalogueEntry* entry) {
  return SharedFileList::Instance()->FindEntry(md5, entry);
}
bool RecheckInCatalogue(const std::string& md5, const CatalogueEntry& seen,
                        CatalogueEntry* fresh) {
  return SharedFileList::Instance()->RecheckEntry(md5, seen, fresh);
}
}  // namespace

HttpFileHandler::HttpFileHandler(IUploadGate* gate)
    : HttpFileHandler(gate, SharedFileSource{&FindInCatalogue, &RecheckInCatalogue}) {}
