#include "daemon/command_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

DaemonCommand Parse(const std::vector<unsigned char>& bytes) {
  return ParseCommandRecord(bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

std::vector<unsigned char> AddRecord(const std::string& path, bool with_nul = true) {
  std::string bytes(4, '\0');
  bytes += path;
  if (with_nul) bytes.push_back('\0');
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

// A quit is its command byte alone: any record of 1 to 4 bytes starting with 1
// quits. An add shorter than its header and one path byte is ignored.
TEST(CommandRecord, ShortRecords) {
  EXPECT_EQ(ParseCommandRecord(nullptr, 100).kind, DaemonCommandKind::kIgnore);
  EXPECT_EQ(Parse({}).kind, DaemonCommandKind::kIgnore);
  for (size_t size = 1; size < kMinAddRecordSize; ++size) {
    std::vector<unsigned char> record(size, 0);
    EXPECT_EQ(Parse(record).kind, DaemonCommandKind::kIgnore) << size;
    record[0] = CMD_QUIT;
    EXPECT_EQ(Parse(record).kind, DaemonCommandKind::kQuit) << size;
  }
}

TEST(CommandRecord, QuitAndUnknownCommands) {
  EXPECT_EQ(Parse({1, 0, 0, 0, 0}).kind, DaemonCommandKind::kQuit);
  EXPECT_EQ(Parse({1, 9, 9, 9, 'x', 'y'}).kind, DaemonCommandKind::kQuit);
  EXPECT_EQ(Parse({2, 0, 0, 0, 'a', 0}).kind, DaemonCommandKind::kIgnore);
  EXPECT_EQ(Parse({255, 0, 0, 0, 'a', 0}).kind, DaemonCommandKind::kIgnore);
}

TEST(CommandRecord, AddTakesThePathUpToItsNul) {
  DaemonCommand command = Parse(AddRecord("C:\\Game\\game.exe"));
  EXPECT_EQ(command.kind, DaemonCommandKind::kAddProtected);
  EXPECT_EQ(command.path, "C:\\Game\\game.exe");

  std::vector<unsigned char> trailing = AddRecord("a.exe");
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k'});
  EXPECT_EQ(Parse(trailing).path, "a.exe");

  command = Parse(AddRecord(""));
  EXPECT_EQ(command.kind, DaemonCommandKind::kAddProtected);
  EXPECT_EQ(command.path, "");
}

// A path without a NUL inside the record ends with the record, never after it.
TEST(CommandRecord, PathWithoutNulEndsAtRecordSize) {
  std::vector<unsigned char> record = AddRecord("C:\\x.exe", false);
  DaemonCommand command = Parse(record);
  EXPECT_EQ(command.kind, DaemonCommandKind::kAddProtected);
  EXPECT_EQ(command.path, "C:\\x.exe");
}

TEST(CommandRecord, LongPathsAreCutTo259Bytes) {
  const std::string long_path(1000, 'p');
  EXPECT_EQ(Parse(AddRecord(long_path)).path, std::string(259, 'p'));
  EXPECT_EQ(Parse(AddRecord(long_path, false)).path, std::string(259, 'p'));
  EXPECT_EQ(Parse(AddRecord(std::string(259, 'q'))).path.size(), 259u);
}

}  // namespace
