// Puts the player's upload settings and the game's state into force on the
// peer service: the shared upload budget, the pause switch and the bound on
// connections per peer address. Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>

#include "uploadpolicy/upload_policy.h"

// Puts the per-peer bound in force on the server, which follows the settings
// from then on; empty for none.
void SetUploadControlledServer(std::function<void(int32_t)> set_max_connections_per_peer);

// Reads the settings from the engine key again (the catalogue's watch calls it
// after every change of the key). A value that is refused keeps the previous
// setting and is logged once per change of the stored value.
void ReloadUploadSettings();

// Whether a protected game process runs; the host tells, and repeats.
void SetGameRunning(bool running);

// The game's state and the cap in force now, for the status view.
struct UploadStateNow {
  bool game_running = false;
  UploadCap cap;
};
UploadStateNow ReadUploadState();
