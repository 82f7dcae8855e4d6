#include "engine/log_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const LogStamp kStamp = {2024, 3, 7, 9, 5, 4, 32};

std::string Format(const std::string& message, size_t size = kLogLineBufferSize,
                   const char* thread = "p4pipc") {
  std::string buffer(size, '\x7F');
  size_t length = FormatLogLine(&buffer[0], size, kStamp, "P2PClient", thread, message.c_str());
  EXPECT_EQ(buffer[length], '\0') << "terminated right after the line";
  return buffer.substr(0, length);
}

// Stamp fields are zero-padded, no blank between stamp and module.
TEST(LogFormat, LineLayout) {
  EXPECT_EQ(Format("hello"), "[2024-03-07 09:05:04.032](P2PClient:p4pipc) hello\r\n");
  const LogStamp late = {2031, 12, 31, 23, 59, 59, 999};
  char buffer[128];
  size_t length = FormatLogLine(buffer, sizeof(buffer), late, "P2PClient", "Thread 12", "");
  EXPECT_EQ(std::string(buffer, length), "[2031-12-31 23:59:59.999](P2PClient:Thread 12) \r\n");
}

// Message bytes pass unchanged, including GBK and printf-like characters.
TEST(LogFormat, MessageBytesAreKept) {
  const std::string gbk = "\xC6\xF4\xB6\xAF" "100% \\n";
  EXPECT_EQ(Format(gbk), "[2024-03-07 09:05:04.032](P2PClient:p4pipc) " + gbk + "\r\n");
}

// A line of exactly size - 1 bytes is whole; one byte more is cut and keeps CR LF.
TEST(LogFormat, LongLinesAreCutAndStayLines) {
  const size_t head = Format("").size() - 2;
  const size_t fits = kLogLineBufferSize - 1 - head - 2;
  std::string whole = Format(std::string(fits, 'a'));
  EXPECT_EQ(whole.size(), kLogLineBufferSize - 1);
  EXPECT_EQ(whole.substr(head), std::string(fits, 'a') + "\r\n");

  std::string cut = Format(std::string(fits, 'a') + "bc");
  EXPECT_EQ(cut, whole);

  std::string huge = Format(std::string(10000, 'z'));
  EXPECT_EQ(huge.size(), kLogLineBufferSize - 1);
  EXPECT_EQ(huge.substr(huge.size() - 3), "z\r\n");
}

// The cut never splits a double-byte character, even when trail bytes look
// like lead bytes.
TEST(LogFormat, CutKeepsDoubleByteCharactersWhole) {
  const size_t head = Format("").size() - 2;
  const size_t room = kLogLineBufferSize - 1 - head - 2;
  // "\xB6\xB6" is one character whose trail byte is also a lead byte value.
  std::string pairs;
  while (pairs.size() + 2 <= room + 1) pairs += "\xB6\xB6";
  std::string message = std::string((room + 1) % 2 == 0 ? 1 : 0, 'x') + pairs;
  std::string line = Format(message);
  std::string body = line.substr(head, line.size() - head - 2);
  EXPECT_LE(body.size(), room);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  // Whole pairs only: the body is the message's prefix of even pair length.
  EXPECT_EQ(body, message.substr(0, body.size()));
  EXPECT_EQ((body.size() - (message[0] == 'x' ? 1 : 0)) % 2, 0u);
  EXPECT_GE(body.size(), room - 1);
}

// Small buffers obey the same rules, cutting into the head if they must.
TEST(LogFormat, TinyBuffersStayTerminated) {
  EXPECT_EQ(Format("message", 3), "\r\n");
  EXPECT_EQ(Format("message", 12), "[2024-03-\r\n");
  EXPECT_EQ(Format("m", 43, "t"), "[2024-03-07 09:05:04.032](P2PClient:t) m\r\n");
  EXPECT_EQ(Format("mn", 43, "t"), "[2024-03-07 09:05:04.032](P2PClient:t) m\r\n");
}

TEST(LogFormat, FallbackNameIsUnsignedDecimal) {
  EXPECT_EQ(FallbackThreadName(0), "Thread 0");
  EXPECT_EQ(FallbackThreadName(1234), "Thread 1234");
  EXPECT_EQ(FallbackThreadName(4294967295u), "Thread 4294967295");
}

}  // namespace
