// The running engine's status, gathered from the counters of each component.
#pragma once

#include <string>

// Remembers the engine's start time; called once by the engine start.
void NoteEngineStart();

std::string StatusJson();
std::string StatusTable();
