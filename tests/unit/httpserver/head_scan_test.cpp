#include "httpserver/head_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

constexpr size_t kBound = 16 * 1024;

// Feeds `stream` in chunks of the given sizes, as the reader does; returns the
// head it would return (empty when the bound is hit or the stream ends first).
std::string ReadInChunks(const std::string& stream, const std::vector<size_t>& chunk_sizes,
                         size_t bound = kBound) {
  std::string head;
  size_t pos = 0;
  for (size_t i = 0; pos < stream.size(); ++i) {
    size_t size = chunk_sizes.empty() ? stream.size() : chunk_sizes[i % chunk_sizes.size()];
    if (size > stream.size() - pos) size = stream.size() - pos;
    HeadStep step = ScanRequestHead(head, stream.data() + pos, size, bound);
    EXPECT_LE(step.take, size);
    head.append(stream, pos, step.take);
    pos += step.take;
    if (step.progress == HeadProgress::kComplete) return head;
    if (step.progress == HeadProgress::kTooLarge) return std::string();
  }
  return std::string();
}

// The head ends at the first blank line; the following request is left unread.
TEST(HeadScan, StopsRightAfterTheFirstBlankLine) {
  const std::string first = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string second = "GET /b HTTP/1.1\r\n\r\n";
  HeadStep step = ScanRequestHead("", (first + second).data(), first.size() + second.size(), kBound);
  EXPECT_EQ(step.progress, HeadProgress::kComplete);
  EXPECT_EQ(step.take, first.size());
}

// Bare LFs and CRs do not end a head; only CR LF CR LF does.
TEST(HeadScan, OnlyCrLfCrLfEndsTheHead) {
  EXPECT_EQ(ReadInChunks("GET / HTTP/1.0\n\n\r\r\n\n", {}), "");
  EXPECT_EQ(ReadInChunks("A\r\r\n\r\nrest", {}), "A\r\r\n\r\n");
  EXPECT_EQ(ReadInChunks("A\r\n\r\r\n\r\nrest", {}), "A\r\n\r\r\n\r\n");
  EXPECT_EQ(ReadInChunks("\r\n\r\n", {}), "\r\n\r\n");
}

// However the bytes arrive, the result is the one of reading byte by byte.
TEST(HeadScan, ChunkingDoesNotChangeTheHead) {
  const std::string stream =
      "GET /0123 HTTP/1.1\r\nRange: bytes=1-2\r\r\n\r\n\r\n\r\nGET /next HTTP/1.1\r\n\r\n";
  const std::string expected = ReadInChunks(stream, {1});
  ASSERT_EQ(expected, "GET /0123 HTTP/1.1\r\nRange: bytes=1-2\r\r\n\r\n");
  for (size_t split = 1; split < stream.size(); ++split) {
    EXPECT_EQ(ReadInChunks(stream, {split, stream.size()}), expected) << split;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<size_t> sizes;
    for (int i = 0; i < 8; ++i) sizes.push_back(1 + random() % 9);
    EXPECT_EQ(ReadInChunks(stream, sizes), expected);
  }
}

// A head may fill the bound exactly; one byte more without a blank line is too large.
TEST(HeadScan, BoundIsInclusive) {
  const std::string request = "GET / HTTP/1.1\r\nX: ";
  std::string exact = request + std::string(kBound - request.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(exact.size(), kBound);
  EXPECT_EQ(ReadInChunks(exact, {1000}), exact);
  EXPECT_EQ(ReadInChunks(exact, {1}), exact);

  std::string over = request + std::string(kBound - request.size() - 3, 'a') + "\r\n\r\n";
  EXPECT_EQ(ReadInChunks(over, {1000}), "");
  EXPECT_EQ(ReadInChunks(over, {1}), "");

  HeadStep step = ScanRequestHead(std::string(kBound - 2, 'a'), "bcdef", 5, kBound);
  EXPECT_EQ(step.take, 2u);
  EXPECT_EQ(step.progress, HeadProgress::kTooLarge);
}

// A huge stream without a blank line is refused at the bound, never read whole.
TEST(HeadScan, EndlessHeadIsCutAtTheBound) {
  const std::string junk(1 << 20, 'x');
  std::string head;
  size_t consumed = 0;
  for (;;) {
    HeadStep step = ScanRequestHead(head, junk.data() + consumed, 4096, kBound);
    head.append(junk, consumed, step.take);
    consumed += step.take;
    if (step.progress != HeadProgress::kNeedMore) {
      EXPECT_EQ(step.progress, HeadProgress::kTooLarge);
      break;
    }
  }
  EXPECT_EQ(consumed, kBound);
}

}  // namespace
