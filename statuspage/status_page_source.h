// What the status page needs of the engine: the token its actions carry, the
// pause switch, and its files, embedded in kovashare.dll as resources.
#pragma once

#include <string>

// Makes the token from the system's random source; called once at start,
// before the HTTP server exists. Empty (every action refused) if that fails.
void MakeStatusPageToken();
const std::string& StatusPageToken();

// Writes "SharingPaused" as `zrvdctl pause`/`resume` does and puts it in force now.
bool SetSharingPaused(bool paused);

// The page's file `name` from the resources of the module holding this code.
bool ReadUiFile(const std::string& name, std::string* body, std::string* type);
