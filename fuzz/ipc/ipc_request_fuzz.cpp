// Any bytes a local client sends, split as the service reads them: first line
// up to the first LF, the rest after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipc/ipc_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t lf = input.find('\n');
  const std::string first = lf == std::string::npos ? std::string() : input.substr(0, lf + 1);
  const std::string rest = lf == std::string::npos ? input : input.substr(lf + 1);
  IpcRequest request;
  if (!ParseIpcRequest(first, rest, &request)) return 0;
  // The three lines never hold a CR LF and come from the front of the rest.
  for (const std::string* field : {&request.md5, &request.url, &request.mode}) {
    if (field->find("\r\n") != std::string::npos) std::abort();
  }
  const std::string front = request.md5 + "\r\n" + request.url + "\r\n" + request.mode + "\r\n";
  if (rest.compare(0, front.size(), front) != 0) std::abort();
  if (first.compare(0, request.local_path.size(), request.local_path) != 0) std::abort();
  if (request.local_path.size() + 2 < first.size()) std::abort();
  return 0;
}
