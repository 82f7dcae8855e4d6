#include "runtime/registry_read.h"

StoredValue ReadStoredValue(HKEY key, const char* name, DWORD type, StoredBytes* found) {
  // Room for any number and then some, so that two refused texts differ.
  BYTE buffer[64];
  DWORD size = sizeof(buffer);
  DWORD stored_type = REG_NONE;
  const LONG status = key ? RegQueryValueExA(key, name, nullptr, &stored_type, buffer, &size)
                          : ERROR_FILE_NOT_FOUND;
  if (found) {
    found->status = status;
    found->type = stored_type;
    found->bytes.assign(buffer, buffer + (status == ERROR_SUCCESS ? size : 0));
  }

  StoredValue stored;
  const DWORD want = type == REG_QWORD ? 8 : 4;
  if (status == ERROR_FILE_NOT_FOUND) return stored;
  if (status != ERROR_SUCCESS || stored_type != type || size != want) {
    stored.kind = StoredValue::Kind::kOther;
    return stored;
  }
  stored.kind = StoredValue::Kind::kRight;
  for (DWORD i = want; i-- > 0;) stored.value = stored.value << 8 | buffer[i];
  return stored;
}
