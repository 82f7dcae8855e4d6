#include "httpserver/response_head.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "httpserver/connection_name.h"
#include "httpserver/range_rule.h"

namespace {

// The documented a.bin example: bytes=100- of a 1000-byte file, kept alive.
TEST(ResponseHead, ABinExampleByteForByte) {
  ResolvedRange range = ResolveRange(ParseRangeHeader("bytes=100-"), 1000);
  EXPECT_EQ(BuildResponseHead(1000, true, FileNameOfPath("C:\\share\\a.bin"), range.length,
                              range.begin),
            "HTTP/1.1 206 Partial Content\r\n"
            "Date: Mon, 24 May 2004 01:36:26 GMT\r\n"
            "Accept-Ranges: bytes\r\n"
            "Content-length: 900\r\n"
            "Content-Range: bytes 100-999/1000\r\n"
            "Content-Type: application/octet-stream\r\n"
            "Content-Disposition: filename=\"a.bin\"\r\n"
            "\r\n");
}

// A whole file is a 200 that still carries its Content-Range; close adds its line.
TEST(ResponseHead, WholeFileClosingWithoutName) {
  EXPECT_EQ(BuildResponseHead(5, false, "", 5, 0),
            "HTTP/1.1 200 OK\r\n"
            "Date: Mon, 24 May 2004 01:36:26 GMT\r\n"
            "Accept-Ranges: bytes\r\n"
            "Content-length: 5\r\n"
            "Content-Range: bytes 0-4/5\r\n"
            "Connection: close\r\n"
            "Content-Type: application/octet-stream\r\n"
            "\r\n");
}

// Sizes and offsets past 32 bits are written in full.
TEST(ResponseHead, LargeFilesKeepAllDigits) {
  const int64_t total = 3LL << 30;
  const std::string head = BuildResponseHead(total, true, "big.iso", total - 2500000000LL,
                                             2500000000LL);
  EXPECT_NE(head.find("\r\nContent-length: 721225472\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nContent-Range: bytes 2500000000-3221225471/3221225472\r\n"),
            std::string::npos)
      << head;
  EXPECT_EQ(head.rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u);
}

// 416 names the size, promises no body and follows the keep-alive decision.
TEST(ResponseHead, UnsatisfiableHead) {
  EXPECT_EQ(BuildUnsatisfiableHead(1000, true),
            "HTTP/1.1 416 Range Not Satisfiable\r\n"
            "Date: Mon, 24 May 2004 01:36:26 GMT\r\n"
            "Accept-Ranges: bytes\r\n"
            "Content-length: 0\r\n"
            "Content-Range: bytes */1000\r\n"
            "\r\n");
  EXPECT_NE(BuildUnsatisfiableHead(3LL << 30, false)
                .find("Content-Range: bytes */3221225472\r\nConnection: close\r\n\r\n"),
            std::string::npos);
}

// The name is what follows the last backslash, unescaped; forward slashes stay.
TEST(ResponseHead, FileNameOfPath) {
  EXPECT_EQ(FileNameOfPath("C:\\a\\b\\c d\"e.bin"), "c d\"e.bin");
  EXPECT_EQ(FileNameOfPath("plain.bin"), "plain.bin");
  EXPECT_EQ(FileNameOfPath("Z:/tmp/x.bin"), "Z:/tmp/x.bin");
  EXPECT_EQ(FileNameOfPath("C:\\dir\\"), "");
  EXPECT_EQ(BuildResponseHead(1, true, "", 1, 0).find("Content-Disposition"), std::string::npos);
}

// Connection threads are named by address in lowercase hex without a prefix.
TEST(ConnectionName, LowercaseHexAddress) {
  EXPECT_EQ(ConnectionThreadName(0x1a2bU), "HttpConn 1a2b");
  EXPECT_EQ(ConnectionThreadName(0), "HttpConn 0");
  EXPECT_EQ(ConnectionThreadName(UINTPTR_MAX).size(), 9 + 2 * sizeof(uintptr_t));
}

}  // namespace
