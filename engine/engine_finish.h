// The engine's finish, behind KovaShareFinish.
#pragma once

#include <cstdint>

// Saves the month's upload count, asks every engine thread with work at its end
// (the port mapping's removal, the cost thread's last save) to end, then waits
// for them together at most `wait_ms`, taking no lock, and saves what was counted
// meanwhile. Called at a DLL's process detach, when those threads are gone, it
// returns at once.
void FinishEngine(uint32_t wait_ms);
