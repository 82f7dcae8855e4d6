// Reading and writing the catalogue's registry values in their stored form.
// Each call stands by itself; safe from any thread on an HKEY the caller owns.
#pragma once

#include <windows.h>

#include <string>

#include "catalogue/catalogue_view.h"

// A REG_SZ value of at most `max_bytes` bytes (what the registry reports,
// a stored NUL included). False when the value is absent, of another type or
// longer. The text ends at the reported size, or at an earlier NUL: values are
// stored without one, but other writers add it.
bool ReadStringValue(HKEY key, const char* name, DWORD max_bytes, std::string* text);

// A REG_DWORD value; false when absent, of another type or of another size.
bool ReadDwordValue(HKEY key, const char* name, DWORD* value);

// Stores `text` as REG_SZ with its length as the data size: no terminating NUL.
LONG WriteStringValue(HKEY key, const char* name, const std::string& text);
LONG WriteDwordValue(HKEY key, const char* name, DWORD value);

// Lookup limits: `LocalPath` in at most 1023 bytes, `ModifyTime` in at most 255.
constexpr DWORD kLookupPathLimit = 1023;
constexpr DWORD kLookupTimeLimit = 255;

// REG_DWORD 1 on an entry whose file's content was found to match its MD5
// text. A share deletes it with every write of the entry.
constexpr char kVerifiedValue[] = "Verified";

// An entry's `LocalPath`, `ModifyTime` and `Length`, and whether it is
// verified (absent: no); false when one is absent,
// of another type or past its limit.
bool ReadCatalogueEntry(HKEY key, DWORD path_limit, DWORD time_limit, CatalogueEntry* entry);
