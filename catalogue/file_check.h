// Checks of a shared file against its catalogue entry. Each function opens the
// file by itself for attribute access only, so a file that another program
// holds open for writing can still be checked. Safe from any thread.
#pragma once

#include <windows.h>

#include <string>

#include "catalogue/catalogue_view.h"

// Opens `path` for attribute access, sharing reads, existing files only.
// INVALID_HANDLE_VALUE on failure; the caller owns the handle.
HANDLE OpenForAttributes(const std::string& path);

bool FileExists(const std::string& path);

// True when the file cannot be opened, its size differs from `stored_length`
// (a size past 32 bits counts as 0xFFFFFFFF) or its modify-time text differs
// from `stored_time`.
bool FileChanged(const std::string& path, DWORD stored_length, const std::string& stored_time);

// The 14-digit local last-write time of an open file, or empty text when the
// time cannot be read or converted. `file` stays the caller's.
std::string FormatModifyTime(HANDLE file);

// The 14-digit local time of a file time, or empty text when it cannot be converted.
std::string FormatModifyTime(const FILETIME& written);

// True when an open file still has the size and last-write time of `entry`,
// read through the handle itself: the file that was checked is the file that
// is read. No second open of the path, as FileChanged would make.
bool OpenFileMatchesEntry(HANDLE file, const CatalogueEntry& entry, int64_t* size);

// The age rule against today's local date.
bool IsOlderThan30Days(const std::string& stored_time);
