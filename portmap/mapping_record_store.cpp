// The record in the engine key (PortMappingRecord): read, written, cleared.
#include "portmap/mapping_record_store.h"

#include <windows.h>

#include "common/unique_any.h"
#include "runtime/globals.h"

std::string ReadRecordText() {
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

bool ReadRecord(MappingRecord* record) {
  return ParseMappingRecord(ReadRecordText(), record) && record->method == kMethodUpnp;
}

bool WriteRecord(const MappingRecord& record) {
  zrvd::unique_hkey key;
  if (RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::string text = FormatMappingRecord(record);
  return RegSetValueExA(key.get(), kPortMappingRecordValue, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// Clears the record only while it still names `record`: a daemon started while
// this one ends may have written its own already.
void ClearRecord(const MappingRecord& record) {
  if (ReadRecordText() != FormatMappingRecord(record)) return;
  zrvd::unique_hkey key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
    RegDeleteValueA(key.get(), kPortMappingRecordValue);
  }
}

const RecordStore& Store() {
  static const RecordStore store{ReadRecordText, WriteRecord, ClearRecord};
  return store;
}
