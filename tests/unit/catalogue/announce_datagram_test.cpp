#include "catalogue/announce_datagram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Md5(int i) {
  std::string text = std::to_string(i);
  return std::string(32 - text.size(), 'a') + text;
}

size_t CountLines(const std::string& datagram, const std::string& prefix) {
  size_t count = 0;
  for (size_t at = datagram.find("\r\n" + prefix); at != std::string::npos;
       at = datagram.find("\r\n" + prefix, at + 2)) {
    ++count;
  }
  return count;
}

const std::string kUid = "0123456789ABCDEF0123456789ABCDEF";
const std::string kAddress = "127.0.0.1%2017000%20Hash%20Hash%20Hash";

TEST(AnnounceHeader, HasFourLinesInOrder) {
  EXPECT_EQ(BuildAnnounceHeader(true, kUid, kAddress),
            "KeepAlive\r\ntype:add\r\nuid:" + kUid + "\r\nhash:" + kAddress + "\r\n");
  EXPECT_EQ(BuildAnnounceHeader(false, "", "a"),
            "KeepAlive\r\ntype:remove\r\nuid:Unknown\r\nhash:a\r\n");
}

TEST(AnnounceHeader, LocalAddressText) {
  EXPECT_EQ(FormatLocalAddressText("192.168.0.5", 17000),
            "192.168.0.5%2017000%20Hash%20Hash%20Hash");
  EXPECT_EQ(FormatLocalAddressText("10.0.0.1", 0), "10.0.0.1%200%20Hash%20Hash%20Hash");
}

// 100 entries under a 108-byte header: 34 lines fit, so 34, 34 and 32.
TEST(AnnounceDatagrams, SplitsByTheLineLimit) {
  std::string header = BuildAnnounceHeader(true, kUid, "192.168.10.20%2017000%20Hash%20Hash%20Hash");
  ASSERT_EQ(header.size(), 108u);
  EXPECT_EQ(Md5LinesPerDatagram(header.size()), 34u);
  std::vector<AnnounceRecord> records;
  for (int i = 0; i < 100; ++i) records.push_back({"0", Md5(i)});
  std::vector<std::string> datagrams = BuildAnnounceDatagrams(header, records);
  ASSERT_EQ(datagrams.size(), 3u);
  EXPECT_EQ(CountLines(datagrams[0], "md5:"), 34u);
  EXPECT_EQ(CountLines(datagrams[1], "md5:"), 34u);
  EXPECT_EQ(CountLines(datagrams[2], "md5:"), 32u);
  for (const std::string& d : datagrams) {
    EXPECT_EQ(d.compare(0, header.size(), header), 0);
    EXPECT_LE(d.size(), kMaxDatagramBytes);
  }
  EXPECT_EQ(datagrams[0].substr(header.size(), 38), "md5:" + Md5(0) + "\r\n");
}

// Unknown types neither appear nor use up the limit; type 1 takes the upper-case prefix.
TEST(AnnounceDatagrams, TypesDecideThePrefix) {
  std::string header = BuildAnnounceHeader(true, kUid, kAddress);
  std::vector<AnnounceRecord> records = {{"0", Md5(1)}, {"2", Md5(2)}, {"1", Md5(3)},
                                         {"-1", Md5(4)}};
  std::vector<std::string> datagrams = BuildAnnounceDatagrams(header, records);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0], header + "md5:" + Md5(1) + "\r\nMD5:" + Md5(3) + "\r\n");
}

// Once a datagram is full, a remaining stretch of unknown types yields a header alone.
TEST(AnnounceDatagrams, StretchOfUnknownTypesGivesHeaderOnly) {
  std::string header = BuildAnnounceHeader(true, kUid, kAddress);
  size_t limit = Md5LinesPerDatagram(header.size());
  std::vector<AnnounceRecord> records;
  for (size_t i = 0; i < limit; ++i) records.push_back({"0", Md5(static_cast<int>(i))});
  for (int i = 0; i < 5; ++i) records.push_back({"2", Md5(900 + i)});
  std::vector<std::string> datagrams = BuildAnnounceDatagrams(header, records);
  ASSERT_EQ(datagrams.size(), 2u);
  EXPECT_EQ(CountLines(datagrams[0], "md5:"), limit);
  EXPECT_EQ(datagrams[1], header);

  EXPECT_TRUE(BuildAnnounceDatagrams(header, {}).empty());
}

// A header too long for the formula still carries one line per datagram and ends.
TEST(AnnounceDatagrams, LongHeaderStillMakesProgress) {
  std::string header = BuildAnnounceHeader(true, std::string(5000, 'U'), kAddress);
  EXPECT_EQ(Md5LinesPerDatagram(header.size()), 1u);
  EXPECT_EQ(Md5LinesPerDatagram(1362), 1u);
  EXPECT_EQ(Md5LinesPerDatagram(1363), 1u);
  std::vector<AnnounceRecord> records = {{"0", Md5(1)}, {"1", Md5(2)}, {"0", Md5(3)}};
  std::vector<std::string> datagrams = BuildAnnounceDatagrams(header, records);
  ASSERT_EQ(datagrams.size(), 3u);
  EXPECT_EQ(datagrams[2], header + "md5:" + Md5(3) + "\r\n");
}

// Names longer than an MD5 text are cut into further datagrams, not over 1400 bytes.
TEST(AnnounceDatagrams, LongNamesKeepTheSizeBound) {
  std::string header = BuildAnnounceHeader(true, kUid, kAddress);
  std::vector<AnnounceRecord> records;
  for (int i = 0; i < 20; ++i) records.push_back({"0", std::string(254, 'f')});
  size_t lines = 0;
  for (const std::string& d : BuildAnnounceDatagrams(header, records)) {
    EXPECT_LE(d.size(), kMaxDatagramBytes);
    lines += CountLines(d, "md5:");
  }
  EXPECT_EQ(lines, 20u);
}

}  // namespace
