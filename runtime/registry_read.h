// Reads a REG_DWORD or REG_QWORD value as stored: the one reader of the
// numbers the engine and the catalogue keep in the registry.
#pragma once

#include <windows.h>

#include <vector>

#include "runtime/stored_value.h"

// What a read found, byte for byte: tells one refused value from another.
struct StoredBytes {
  LONG status = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
  bool operator==(const StoredBytes& other) const {
    return status == other.status && type == other.type && bytes == other.bytes;
  }
};

// `name` under `key` (null reads as absent), expected of `type`, REG_DWORD or
// REG_QWORD. Only a value that is not there is absent: one of another type or
// size, or one that cannot be read, is kOther. `found`, when given, receives
// what was read.
StoredValue ReadStoredValue(HKEY key, const char* name, DWORD type, StoredBytes* found = nullptr);
