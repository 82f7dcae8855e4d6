#include "runtime/log_format.h"

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

// The cut never splits a double-byte character, even one whose trail byte
// has a lead byte's value.
TEST(LogFormat, CutKeepsDoubleByteCharactersWhole) {
  const std::string head = Format("").substr(0, Format("").size() - 2);
  const size_t room = kLogLineBufferSize - 3 - head.size();
  // One or two ASCII bytes first, so that the cut falls inside a pair.
  std::string message(room % 2 == 0 ? 1 : 2, 'x');
  for (int i = 0; i < 3000; ++i) message += "\xB6\xB6";
  EXPECT_EQ(Format(message), head + message.substr(0, room - 1) + "\r\n");
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
