// Single-instance guard and the relaunch from the ".bin" side copy.
#pragma once

// True when this process must not run: another instance owns the mutex
// "Global\<guid>", or the mutex cannot be created. The handle is kept for the
// life of the process and closed by an exit handler.
bool AcquireInstanceMutex(const char* guid);

// Gives up the instance mutex early, so that a child started now can take it.
void ReleaseInstanceMutex();

// Waits, at most `wait_ms`, for every other process running from this
// daemon's side copy to end: the previous daemon, which gave up the mutex at
// its quit, may still be finishing and still holds the copy's file. False when
// one was still running at the deadline.
bool WaitForPreviousDaemon(unsigned long wait_ms);

// True when a fresh side copy "<name>.bin" was started and this process must
// end; false when this process already runs from a ".bin" file (any case).
bool RelaunchFromBinCopy();
