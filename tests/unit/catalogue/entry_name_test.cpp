#include "catalogue/entry_name.h"

#include <gtest/gtest.h>

namespace {

// Texts that would address the engine key itself or another key are refused;
// anything else the registry takes as a key name is allowed.
TEST(EntryName, RefusesTextsThatNameOtherKeys) {
  EXPECT_TRUE(IsUsableEntryName("0123456789abcdef0123456789ABCDEF"));
  EXPECT_TRUE(IsUsableEntryName("short"));
  EXPECT_TRUE(IsUsableEntryName("a/b"));
  EXPECT_FALSE(IsUsableEntryName(""));
  EXPECT_FALSE(IsUsableEntryName("\\"));
  EXPECT_FALSE(IsUsableEntryName("0123\\4567"));
  EXPECT_FALSE(IsUsableEntryName("..\\..\\Run"));
  EXPECT_FALSE(IsUsableEntryName(std::string("abc\0def", 7)));
}

}  // namespace
