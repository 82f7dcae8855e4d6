// zrvdctl's status commands: they ask the running engine on its peer port
// ("HttpPort" in the engine key), from loopback, which is the only place it answers.
#pragma once

#include <string>

// "status", "status --json", "verify", "open" (the status page in the default
// browser); -1 when `command` is none of them, else
// the exit code.
int RunStatusCommand(const std::string& command, int argc, char** argv);
