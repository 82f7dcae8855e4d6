// The time and result of the last web report and the last announcement, set
// by the code that did the work. Safe from any thread; the lock covers a copy
// of a string, never the work itself.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/status_figures.h"

void RecordWebReport(const std::string& result);
void RecordAnnouncement(const std::string& result);
StatusOutcome LastWebReport();
StatusOutcome LastAnnouncement();
