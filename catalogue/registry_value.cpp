#include "catalogue/registry_value.h"

#include <vector>

#include "runtime/registry_read.h"

bool ReadStringValue(HKEY key, const char* name, DWORD max_bytes, std::string* text) {
  // One spare byte so that a value of exactly max_bytes never meets a
  // registry that wants room for a NUL it would add itself.
  std::vector<char> buffer(static_cast<size_t>(max_bytes) + 1, '\0');
  DWORD type = 0;
  DWORD size = max_bytes;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ || size > max_bytes) {
    return false;
  }
  std::string value(buffer.data(), size);
  const size_t nul = value.find('\0');
  if (nul != std::string::npos) value.resize(nul);
  *text = std::move(value);
  return true;
}

bool ReadDwordValue(HKEY key, const char* name, DWORD* value) {
  const StoredValue stored = ReadStoredValue(key, name, REG_DWORD);
  if (stored.kind != StoredValue::Kind::kRight) return false;
  *value = static_cast<DWORD>(stored.value);
  return true;
}

LONG WriteStringValue(HKEY key, const char* name, const std::string& text) {
  // RegSetValueExA counts a NUL that follows the data into the value when the
  // data itself does not end in one, and a std::string is always followed by
  // one. A non-NUL byte after the text keeps the stored size at its length.
  std::string data = text;
  data.push_back('\x01');
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(text.size()));
}

LONG WriteDwordValue(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

bool ReadCatalogueEntry(HKEY key, DWORD path_limit, DWORD time_limit, CatalogueEntry* entry) {
  DWORD length = 0;
  if (!ReadStringValue(key, "LocalPath", path_limit, &entry->local_path) ||
      !ReadStringValue(key, "ModifyTime", time_limit, &entry->modify_time) ||
      !ReadDwordValue(key, "Length", &length)) {
    return false;
  }
  entry->length = length;
  // Optional: an entry without it, or with another type, is one not yet checked.
  DWORD verified = 0;
  entry->verified = ReadDwordValue(key, kVerifiedValue, &verified) && verified == 1;
  return true;
}
