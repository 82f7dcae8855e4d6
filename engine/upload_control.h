// Puts the player's upload settings and the game's state into force on the
// peer service: the shared upload budget, the pause switch and the bound on
// connections per peer address. Safe from any thread.
#pragma once

#include "engine/upload_policy.h"

class HttpServer;

// The server whose per-peer bound follows the settings; null for none.
void SetUploadControlledServer(HttpServer* server);

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
