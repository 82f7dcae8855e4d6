#include "ipc/tracker_report.h"

#include <gtest/gtest.h>

namespace {

// Files are shared from 128 KiB up to, not including, 4 GiB.
TEST(TrackerReport, SizeRuleBoundaries) {
  EXPECT_EQ(ClassifyShareSize(0), ShareSize::kTooSmall);
  EXPECT_EQ(ClassifyShareSize(131071), ShareSize::kTooSmall);
  EXPECT_EQ(ClassifyShareSize(131072), ShareSize::kShared);
  EXPECT_EQ(ClassifyShareSize(0xFFFFFFFFULL), ShareSize::kShared);
  EXPECT_EQ(ClassifyShareSize(0x100000000ULL), ShareSize::kTooLarge);
  EXPECT_EQ(ClassifyShareSize(0x100000001ULL), ShareSize::kTooLarge);
}

// Only the exact texts "0" and "1" send a report.
TEST(TrackerReport, ReportedModes) {
  EXPECT_TRUE(IsReportedMode("0"));
  EXPECT_TRUE(IsReportedMode("1"));
  for (const char* mode : {"", "2", "01", " 1", "1 ", "true"}) EXPECT_FALSE(IsReportedMode(mode));
}

// The request URL, byte for byte: fields in order, each ended by "&", the URL
// encoded, the size unsigned, then "uid=" and the identifier or "Unknown".
TEST(TrackerReport, RequestUrlIsExact) {
  const std::string query =
      BuildReportQuery("http://h/a b", "0123456789ABCDEF0123456789abcdef", 3000000000u, "1");
  EXPECT_EQ(query,
            "insert.php?url=http%3A%2F%2Fh%2Fa%20b&md5=0123456789ABCDEF0123456789abcdef"
            "&size=3000000000&mode=1&");
  EXPECT_EQ(BuildTrackerRequestUrl("http://t.example/", query, "00112233445566778899AABBCCDDEEFF"),
            "http://t.example/" + query + "uid=00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(BuildTrackerRequestUrl("http://t.example/", query, ""),
            "http://t.example/" + query + "uid=Unknown");
  EXPECT_EQ(BuildReportQuery("", "m", 4294967295u, "0"),
            "insert.php?url=&md5=m&size=4294967295&mode=0&");
}

// "OK\r\n" at the first byte is success with the value up to the next CR LF;
// anything else is failure with the whole body.
TEST(TrackerReport, AnswerRule) {
  std::string value;
  EXPECT_TRUE(ParseTrackerAnswer("OK\r\n42\r\n", &value));
  EXPECT_EQ(value, "42");
  EXPECT_TRUE(ParseTrackerAnswer("OK\r\n42\r\nmore\r\n", &value));
  EXPECT_EQ(value, "42");
  EXPECT_TRUE(ParseTrackerAnswer("OK\r\n7", &value));
  EXPECT_EQ(value, "7");
  EXPECT_TRUE(ParseTrackerAnswer("OK\r\n", &value));
  EXPECT_EQ(value, "");
  for (const std::string body : {"OK", "ok\r\n42\r\n", " OK\r\n42\r\n", "OK\n42\r\n", "",
                                 "OK\r"}) {
    EXPECT_FALSE(ParseTrackerAnswer(body, &value)) << body;
    EXPECT_EQ(value, body);
  }
}

}  // namespace
