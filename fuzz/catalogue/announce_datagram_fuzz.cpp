// Catalogue records come from a registry other programs write: any names, any types.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/announce_datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Input: uid line, then records as "type\tname" lines.
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1) {
    lines.push_back(text.substr(start, at - start));
  }
  lines.push_back(text.substr(start));
  std::string header = BuildAnnounceHeader(true, lines[0], "127.0.0.1%2080%20Hash%20Hash%20Hash");
  std::vector<AnnounceRecord> records;
  size_t announced = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t tab = lines[i].find('\t');
    AnnounceRecord record{lines[i].substr(0, tab),
                          tab == std::string::npos ? "" : lines[i].substr(tab + 1)};
    if (record.type == "0" || record.type == "1") ++announced;
    records.push_back(record);
  }
  size_t seen = 0;
  for (const std::string& datagram : BuildAnnounceDatagrams(header, records)) {
    if (datagram.compare(0, header.size(), header) != 0) std::abort();
    size_t lines_here = 0;
    for (size_t at = header.size(); at < datagram.size();) {
      size_t end = datagram.find("\r\n", at);
      if (end == std::string::npos) std::abort();
      at = end + 2;
      ++lines_here;
    }
    if (lines_here > 1 && datagram.size() > kMaxDatagramBytes) std::abort();
    seen += lines_here;
  }
  // Names may hold CR LF themselves; without them every record is one line.
  if (text.find('\r') == std::string::npos && seen != announced) std::abort();
  return 0;
}
