// The record in the engine key (PortMappingRecord): read, written, cleared.
#include "portmap/mapping_record_store.h"

#include <windows.h>

#include "common/unique_any.h"
#include "runtime/globals.h"

namespace {

// The record text this run wrote or adopted (read in a look, and so acted on).
std::string& Owned() {
  static std::string owned;
  return owned;
}

std::string ReadStoredText() {
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    return "";
  }
  char text[512] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(text) - 1;
  if (RegQueryValueExA(key.get(), kPortMappingRecordValue, nullptr, &type,
                       reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return "";
  }
  return std::string(text);
}

}  // namespace

std::string ReadRecordText() {
  Owned() = ReadStoredText();
  return Owned();
}

std::string OwnedRecordText() {
  const std::string text = ReadStoredText();
  return text == Owned() ? text : "";
}

bool ReadRecord(MappingRecord* record) {
  return ParseMappingRecord(ReadRecordText(), record) && record->method == kMethodUpnp;
}

bool ReadOwnedRecord(MappingRecord* record) {
  return ParseMappingRecord(OwnedRecordText(), record) && record->method == kMethodUpnp;
}

bool WriteRecord(const MappingRecord& record) {
  zrvd::unique_hkey key;
  if (RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::string text = FormatMappingRecord(record);
  Owned() = text;
  return RegSetValueExA(key.get(), kPortMappingRecordValue, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// Clears the record only while it still names `record`: a daemon started while
// this one ends may have written its own already.
void ClearRecord(const MappingRecord& record) { ClearRecordText(FormatMappingRecord(record)); }

void ClearRecordText(const std::string& text) {
  if (ReadStoredText() != text) return;
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
    RegDeleteValueA(key.get(), kPortMappingRecordValue);
  }
}

const RecordStore& Store() {
  static const RecordStore store{ReadRecordText, WriteRecord, ClearRecord};
  return store;
}

const RecordStore& OwnedStore() {
  static const RecordStore store{OwnedRecordText, WriteRecord, ClearRecord};
  return store;
}
