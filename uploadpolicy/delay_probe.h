// The "UploadDelay" thread: probes the uplink's queue with ICMP echo while
// internet peers are being served, and sets the rate their answers may take
// (UploadThrottle::Internet). All functions are safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "uploadpolicy/delay_control.h"

class IThreadManager;

void StartDelayProbe(IThreadManager* threads);
// Asks the thread to end (it lifts the rate it set on its way out, within a
// probe's time-out), without waiting: an event to wait on, or null when none runs.
void* AskDelayProbeToStop();

// The player's settings ("UploadDelayControl", "UploadDelayTargetMs"), as the
// upload control reads them.
void SetDelaySettings(bool on, uint32_t target_ms);

DelayStatus ReadDelayStatus();
// The queueing delay of each of the last ten minutes' seconds, -1 where none
// was measured; `now_s` seconds since 1970.
std::vector<int64_t> ReadDelayHistory(int64_t now_s);
