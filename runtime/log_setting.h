// Where the log goes, as the engine reads it at start and the daemon's crash
// handler reads it to put a dump beside the log.
#pragma once

#include <string>

// "P4PShareLogFilePath" under HKLM's engine key when it is a REG_SZ that fits
// 1024 bytes, else "null".
std::string ReadLogPathSetting();
