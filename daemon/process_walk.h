// Walks the machine's running processes by executable path.
#pragma once

// Called once per process with its executable's path; 1 stops the walk and
// reports a match, 0 lets it go on.
typedef int (*ProcessCallback)(const char* path, void* context);

// 2 for the NT family, 1 for the 9x family, -1 otherwise or on failure.
int GetPlatformId();

// Picks the walk by platform: psapi on NT, Tool Help on 9x, none elsewhere.
// 1 when the callback reported a match, else 0 (every failure counts as no match).
int WalkProcesses(void* context, ProcessCallback callback);
int WalkProcessesPsapi(void* context, ProcessCallback callback);
int WalkProcessesToolhelp(void* context, ProcessCallback callback);

// The psapi walk, NT family only, handing each process over with a handle that
// can be waited on (the callback may duplicate it; it is closed after the call).
typedef int (*ProcessHandleCallback)(const char* path, unsigned long id, void* process,
                                     void* context);
int WalkProcessHandles(void* context, ProcessHandleCallback callback);
