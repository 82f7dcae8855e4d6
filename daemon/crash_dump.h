// Minidumps of unhandled exceptions.
//
// The daemon installs the filter for its own process, first thing in WinMain,
// so a crash on any thread (its own or the engine's) leaves a dump. The engine
// installs none: a program that hosts kovashare.dll keeps its own crash
// handling, which a DLL has no business replacing.
#pragma once

// Reads "P4PShareLogFilePath" and installs the filter. Dumps go beside the log
// file, or to the user's temp folder when the log is the console; with logging
// off (`null` or absent) nothing is installed and the system's own handling
// stays. The process then ends quietly: a hidden daemon shows no crash dialog.
void InstallCrashDumps();

// The same with the log setting given, for programs other than the daemon.
// Call once, before other threads start.
void InstallCrashDumpsFor(const char* log_setting);
