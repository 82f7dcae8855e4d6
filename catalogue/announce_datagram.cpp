#include "catalogue/announce_datagram.h"

std::string BuildAnnounceHeader(bool additions, const std::string& user_id,
                                const std::string& local_address) {
  std::string header = "KeepAlive\r\n";
  header += additions ? "type:add\r\n" : "type:remove\r\n";
  header += "uid:";
  header += user_id.empty() ? "Unknown" : user_id;
  header += "\r\nhash:";
  header += local_address;
  header += "\r\n";
  return header;
}

size_t Md5LinesPerDatagram(size_t header_length) {
  if (header_length + kMd5LineBytes > kMaxDatagramBytes) return 1;
  return (kMaxDatagramBytes - header_length) / kMd5LineBytes;
}

std::vector<std::string> BuildAnnounceDatagrams(const std::string& header,
                                                const std::vector<AnnounceRecord>& records) {
  std::vector<std::string> datagrams;
  const size_t limit = Md5LinesPerDatagram(header.size());
  size_t next = 0;
  while (next < records.size()) {
    std::string datagram = header;
    size_t counted = 0;
    while (counted < limit && next < records.size()) {
      const AnnounceRecord& record = records[next];
      const char* prefix = record.type == "0" ? "md5:" : record.type == "1" ? "MD5:" : nullptr;
      if (prefix == nullptr) {
        ++next;
        continue;
      }
      // Names longer than 32 characters would break the 1400-byte promise.
      const size_t line_bytes = 4 + record.md5.size() + 2;
      if (counted > 0 && datagram.size() + line_bytes > kMaxDatagramBytes) break;
      datagram += prefix;
      datagram += record.md5;
      datagram += "\r\n";
      ++counted;
      ++next;
    }
    datagrams.push_back(std::move(datagram));
  }
  return datagrams;
}

std::string FormatLocalAddressText(const std::string& address, int http_port) {
  return address + "%20" + std::to_string(http_port) + "%20Hash%20Hash%20Hash";
}
