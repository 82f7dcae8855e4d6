// The protected-process list and the 5-second watch that ends the daemon once
// no protected executable runs and the launcher's window is gone.
// Everything here runs on the daemon's main thread; the list still has its lock.
#pragma once

#include <string>
#include <vector>

// False for a null or empty path; true otherwise, stored or already covered.
bool AddProtectedProcess(const char* path);

// Whether some stored path covers `path` (upper-case, at most 259 bytes).
bool IsCoveredPath(const char* path);

// Whether the short, upper-cased form of `inner` occurs inside that of `outer`.
// A path without a short form (no such file) stands for itself.
bool PathContains(const char* outer, const char* inner);

// Copies the stored paths in order, each in its normalized (short, upper-case)
// form, which is what the process walk compares against.
void SnapshotProtectedPaths(std::vector<std::string>* out);

// ProcessCallback: 1 when a normalized path in the vector (context) contains
// the normalized form of `path`.
int MatchProtectedProcess(const char* path, void* context);

// Walks the processes and tells the engine whether a protected one runs, so
// that uploads give way to the game; answers the same.
bool ReportGameState();

// One tick of the watch: walks the processes, then looks for the launcher's
// window; when neither holds, stops the timer and ends the message loop.
void OnWatchTimer();

// Empties the list; for tests.
void ClearProtectedProcesses();
