// The record's owner: the end of a run acts only on the record it wrote or adopted.
#include "portmap/mapping_record_store.h"

#include <windows.h>

#include <shlwapi.h>

#include <string>

#include <gtest/gtest.h>

#include "runtime/globals.h"

namespace {

// A scratch engine key under HKCU, removed afterwards.
struct ScratchKey {
  ScratchKey() {
    g_regRoot = HKEY_CURRENT_USER;
    g_regPath = "Software\\zrvd-test\\record-" + std::to_string(GetCurrentProcessId());
  }
  ~ScratchKey() { SHDeleteKeyA(HKEY_CURRENT_USER, g_regPath.c_str()); }
};

void WriteOther(const char* text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, kPortMappingRecordValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(strlen(text) + 1));
  RegCloseKey(key);
}

// Quit, then start at once: the new daemon's record replaces ours before our end
// reads it; our end must see nothing of its own, and clear nothing.
TEST(MappingRecordStore, TheEndActsOnlyOnItsOwnRecord) {
  ScratchKey key;
  const MappingRecord ours{"upnp", "TCP", 41813, "10.250.7.2", {"10.250.7.1", "1796684465"}};
  ASSERT_TRUE(WriteRecord(ours));
  EXPECT_EQ(OwnedRecordText(), FormatMappingRecord(ours));
  const char* next_run = "upnp TCP 41900 10.250.7.2 10.250.7.1 1796684999";
  WriteOther(next_run);
  MappingRecord record;
  EXPECT_FALSE(ReadOwnedRecord(&record));
  EXPECT_EQ(OwnedStore().read(), "");
  OwnedStore().clear(ours);
  EXPECT_EQ(ReadRecordText(), next_run);  // a look adopts what it reads
  EXPECT_EQ(OwnedRecordText(), next_run);
}

}  // namespace
