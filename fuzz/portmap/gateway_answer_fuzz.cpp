// Any host on the LAN may answer as the gateway: its SSDP answer, description and
// SOAP answers go through these readers, which must stay within their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "portmap/upnp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  HttpUrl url;
  if (ParseHttpUrl(SsdpLocation(bytes), &url) && (url.port == 0 || url.path.empty())) {
    std::abort();
  }
  IgdService service;
  HttpUrl control;
  if (FindIgdService(bytes, &service)) ControlUrl(url, service.control_url, &control);
  HttpAnswerComplete(bytes);
  const HttpAnswer answer = ParseHttpAnswer(bytes);
  UpnpErrorCode(answer.body);
  const RouterMapping m = ParseMappingEntry(answer.body);
  if (m.description.size() > kMaxRouterText || m.internal_client.size() > kMaxRouterText) {
    std::abort();
  }
  MappingRecord record;
  if (ParseMappingRecord(bytes, &record) && FormatMappingRecord(record) != bytes) std::abort();
  return 0;
}
