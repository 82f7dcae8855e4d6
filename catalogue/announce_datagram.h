// The tracker announcement: UDP datagrams of CR LF lines, a four-line header
// and then one line per shared file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One catalogue entry as announced: its FileType as decimal text and its name.
struct AnnounceRecord {
  std::string type;
  std::string md5;
};

// Datagrams stay within this many bytes: a header, and as many 38-byte MD5 lines
// (4 + 32 + 2) as fit.
constexpr size_t kMaxDatagramBytes = 1400;
constexpr size_t kMd5LineBytes = 38;

// "KeepAlive", "type:add" or "type:remove", "uid:" (or "uid:Unknown" when
// `user_id` is empty) and "hash:" with the local address text; each line ends in CR LF.
std::string BuildAnnounceHeader(bool additions, const std::string& user_id,
                                const std::string& local_address);

// MD5 lines per datagram: (1400 - header length) / 38, and never below one, so a
// very long header cannot stall the announcement.
size_t Md5LinesPerDatagram(size_t header_length);

// The datagrams of one announcement. Type "0" gives "md5:<name>", type "1"
// "MD5:<name>"; other types are passed over without using up a datagram's
// limit. A datagram never exceeds kMaxDatagramBytes unless its header and a
// single line alone do. No records, no datagrams.
std::vector<std::string> BuildAnnounceDatagrams(const std::string& header,
                                                const std::vector<AnnounceRecord>& records);

// "<address>%20<port>%20Hash%20Hash%20Hash": where peers reach this machine.
std::string FormatLocalAddressText(const std::string& address, int http_port);
