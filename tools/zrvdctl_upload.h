// zrvdctl's upload commands: they write the player's settings under the engine
// key, where the running engine picks them up, and print the settings then stored.
#pragma once

#include <string>

// "limit KBPS", "limit-in-game KBPS", "budget MB", "pause", "resume"; -1 when `command` is
// none of them, else the exit code.
int RunUploadCommand(const std::string& command, int argc, char** argv);
