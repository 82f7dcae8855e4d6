#include "ipc/ipc_request.h"

#include <gtest/gtest.h>

namespace {

const std::string kMd5 = "0123456789abcdef0123456789abcdef";

// A request written in one piece gives the four texts without their line ends.
TEST(IpcRequest, SplitsFourLines) {
  IpcRequest request;
  ASSERT_TRUE(ParseIpcRequest("C:\\games\\a.pak\r\n", kMd5 + "\r\nhttp://h/a.pak\r\n1\r\n",
                              &request));
  EXPECT_EQ(request.local_path, "C:\\games\\a.pak");
  EXPECT_EQ(request.md5, kMd5);
  EXPECT_EQ(request.url, "http://h/a.pak");
  EXPECT_EQ(request.mode, "1");
}

// Whatever follows the mode's CR LF, a second request included, is ignored.
TEST(IpcRequest, IgnoresBytesAfterTheMode) {
  IpcRequest request;
  ASSERT_TRUE(ParseIpcRequest("p\r\n", "m\r\nu\r\n2\r\nq\r\nm2\r\nu2\r\n1\r\n", &request));
  EXPECT_EQ(request.local_path, "p");
  EXPECT_EQ(request.md5, "m");
  EXPECT_EQ(request.url, "u");
  EXPECT_EQ(request.mode, "2");
}

// The first line always loses two bytes: a lone LF costs the path a character,
// a bare LF leaves an empty path instead of reaching before the text.
TEST(IpcRequest, FirstLineLosesTwoBytes) {
  IpcRequest request;
  ASSERT_TRUE(ParseIpcRequest("C:\\a.pak\n", "m\r\nu\r\n1\r\n", &request));
  EXPECT_EQ(request.local_path, "C:\\a.pa");
  ASSERT_TRUE(ParseIpcRequest("\n", "m\r\nu\r\n1\r\n", &request));
  EXPECT_EQ(request.local_path, "");
  ASSERT_TRUE(ParseIpcRequest("", "m\r\nu\r\n1\r\n", &request));
  EXPECT_EQ(request.local_path, "");
}

// An empty rest or a missing CR LF drops the request and leaves the output alone.
TEST(IpcRequest, RefusesShortRequests) {
  IpcRequest request;
  request.md5 = "untouched";
  EXPECT_FALSE(ParseIpcRequest("p\r\n", "", &request));
  EXPECT_FALSE(ParseIpcRequest("p\r\n", "m\r\nu\r\n1", &request));
  EXPECT_FALSE(ParseIpcRequest("p\r\n", "m\r\nu\r\n1\n", &request));
  EXPECT_FALSE(ParseIpcRequest("p\r\n", "m\r\nu\r\n1\r", &request));
  EXPECT_FALSE(ParseIpcRequest("p\r\n", "m\r\nu", &request));
  EXPECT_FALSE(ParseIpcRequest("p\r\n", "m\nu\n1\n", &request));
  EXPECT_EQ(request.md5, "untouched");
}

// Lines may be empty; a lone CR or LF inside a line belongs to the line.
TEST(IpcRequest, EmptyLinesAndLoneLineEnds) {
  IpcRequest request;
  ASSERT_TRUE(ParseIpcRequest("p\r\n", "\r\n\r\n\r\n", &request));
  EXPECT_EQ(request.md5, "");
  EXPECT_EQ(request.url, "");
  EXPECT_EQ(request.mode, "");
  ASSERT_TRUE(ParseIpcRequest("p\r\n", "a\rb\r\nc\nd\r\n1\r\n", &request));
  EXPECT_EQ(request.md5, "a\rb");
  EXPECT_EQ(request.url, "c\nd");
}

}  // namespace
