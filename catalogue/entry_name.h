// Which MD5 texts may name a catalogue entry.
#pragma once

#include <string>

// An entry's key is the engine path, a backslash and the MD5 text. An empty
// text would address the engine key itself and a backslash another key, so
// such a text is never used as an entry name (nor is a NUL, which would cut it).
bool IsUsableEntryName(const std::string& md5);
