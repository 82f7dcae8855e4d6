#include "httpserver/range_rule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct Answer {
  bool satisfiable;
  int64_t begin;
  int64_t length;
};

Answer Serve(const std::string& range_value, int64_t total) {
  ResolvedRange range = ResolveRange(ParseRangeHeader(range_value), total);
  return {range.satisfiable, range.begin, range.length};
}

void ExpectServed(const std::string& range_value, int64_t total, int64_t begin, int64_t length) {
  Answer answer = Serve(range_value, total);
  EXPECT_TRUE(answer.satisfiable) << range_value;
  EXPECT_EQ(answer.begin, begin) << range_value;
  EXPECT_EQ(answer.length, length) << range_value;
}

void ExpectUnsatisfiable(const std::string& range_value, int64_t total) {
  EXPECT_FALSE(Serve(range_value, total).satisfiable) << range_value << " of " << total;
}

// The documented examples for a file of 1000 bytes; a length equal to the size is a 200.
TEST(RangeRule, DocumentedExamples) {
  ExpectServed("", 1000, 0, 1000);
  ExpectServed("bytes=100-", 1000, 100, 900);
  ExpectServed("bytes=100-199", 1000, 100, 100);
  ExpectServed("bytes=0-", 1000, 0, 1000);
  ExpectServed("bytes=0-0", 1000, 0, 1000);  // an end of 0 means the last byte
  ExpectServed("bytes=-500", 1000, 0, 501);  // not a suffix range: bytes 0 to 500
  ExpectServed("bytes=-500", 501, 0, 501);
  ExpectServed("bytes=0-99,200-299", 1000, 0, 100);
  ExpectServed("bytes=250-0", 1000, 250, 750);
  ExpectServed("bytes=999-999", 1000, 999, 1);
  ExpectServed("bytes=999-", 1000, 999, 1);
}

// The end text keeps what the peer wrote after the begin, for the log.
TEST(RangeRule, ParseKeepsTheEndText) {
  RangeRequest request = ParseRangeHeader("bytes=0-99,200-299");
  EXPECT_TRUE(request.given);
  EXPECT_EQ(request.begin, 0);
  EXPECT_EQ(request.end, 99);
  EXPECT_EQ(request.end_text, "-99,200-299");
  EXPECT_EQ(ParseRangeHeader("bytes=5-").end_text, "-");
  EXPECT_EQ(ParseRangeHeader("x bytes=7-9").begin, 7);  // "bytes=" may stand anywhere
}

// Values without "bytes=", or without "-" after it, are ignored: the whole file.
TEST(RangeRule, MalformedValuesServeTheWholeFile) {
  for (const char* value : {"100-199", "bytes 100-199", "Bytes=100-199", "bytes=100", "bytes=",
                            "items=1-2", "-bytes=5"}) {
    RangeRequest request = ParseRangeHeader(value);
    EXPECT_FALSE(request.given) << value;
    ExpectServed(value, 1000, 0, 1000);
  }
}

// A begin at or past the end, or an end before the begin, cannot be satisfied.
TEST(RangeRule, UnsatisfiableRanges) {
  ExpectUnsatisfiable("bytes=1000-", 1000);
  ExpectUnsatisfiable("bytes=5000-6000", 1000);
  ExpectUnsatisfiable("bytes=200-100", 1000);
  ExpectUnsatisfiable("bytes=0-", 0);
  ExpectUnsatisfiable("bytes=100-abc", 1000);  // an unreadable end reads as 1
  ExpectServed("bytes=1-abc", 1000, 1, 1);
}

// An end past the file is cut back to its last byte: 206, or 200 when that makes
// the whole file. Ends up to 2^63 - 1 (the largest readable) give the same answer.
TEST(RangeRule, EndPastTheFileIsCutToTheLastByte) {
  struct Case {
    const char* name;
    std::string value;
    int64_t total;
    int64_t begin;
    int64_t length;
  };
  const std::string zeros(40, '0');
  for (const Case& c : {
           Case{"just past", "bytes=900-1000", 1000, 900, 100},
           Case{"far past", "bytes=900-1999", 1000, 900, 100},
           Case{"whole file", "bytes=0-1999", 1000, 0, 1000},
           Case{"unreadable begin, end past", "bytes=-5000", 1000, 0, 1000},
           Case{"largest end", "bytes=0-9223372036854775807", 1000, 0, 1000},
           Case{"largest end, last byte", "bytes=999-9223372036854775807", 1000, 999, 1},
           Case{"largest end after zeros (fuzz find)",
                "bytes=-" + zeros + "9223372036854775807", 1000, 0, 1000},
           Case{"largest end, 5 GiB file", "bytes=4294967296-9223372036854775807", 5LL << 30,
                4294967296LL, (5LL << 30) - 4294967296LL},
           Case{"largest end, one-byte file", "bytes=0-9223372036854775807", 1, 0, 1},
       }) {
    SCOPED_TRACE(c.name);
    ExpectServed(c.value, c.total, c.begin, c.length);
  }
  ExpectUnsatisfiable("bytes=1000-9223372036854775807", 1000);
  ExpectUnsatisfiable("bytes=9223372036854775807-9223372036854775807", 1000);
  ExpectUnsatisfiable("bytes=0-9223372036854775807", 0);
}

// Negative or unreadable begins start at 0; numbers are 64-bit.
TEST(RangeRule, OffsetsAreClampedAnd64Bit) {
  ExpectServed("bytes=abc-99", 1000, 0, 100);
  ExpectServed("bytes= 7-9", 1000, 7, 3);
  constexpr int64_t k3GiB = 3LL << 30;
  ExpectServed("bytes=2500000000-", k3GiB, 2500000000LL, k3GiB - 2500000000LL);
  ExpectServed("bytes=2500000000-2500000099", k3GiB, 2500000000LL, 100);
  ExpectServed("bytes=4294967296-", 5LL << 30, 4294967296LL, (5LL << 30) - 4294967296LL);
  ExpectUnsatisfiable("bytes=4294967296-", k3GiB);
  // Beyond 63 bits a number is unreadable.
  ExpectServed("bytes=99999999999999999999-", 1000, 0, 1000);
}

// Stream-style reading: blanks, a sign, digits up to the first other character.
TEST(RangeRule, ReadDecimal64) {
  EXPECT_EQ(ReadDecimal64("42"), 42);
  EXPECT_EQ(ReadDecimal64(" \t+42x"), 42);
  EXPECT_EQ(ReadDecimal64("-17,3"), -17);
  EXPECT_EQ(ReadDecimal64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ReadDecimal64("-9223372036854775807"), -INT64_MAX);
  for (const char* unreadable : {"", " ", "-", "+", "- 5", "+-5", "x1", "9223372036854775808"}) {
    EXPECT_EQ(ReadDecimal64(unreadable), -1) << unreadable;
  }
}

}  // namespace
