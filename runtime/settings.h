// Settings the engine reads from its key (g_regRoot\g_regPath, which the daemon
// sets to HKLM\Software\TESK\Morwick\p4p) each time it needs them, so that a
// changed value takes effect without a restart. Safe from any thread once the
// registry location is set.
#pragma once

#include "runtime/host_setting.h"

// "TrackerHost": receives the web reports and the announcements.
HostSetting ReadTrackerHost();
// "ProbeHost": accepts the TCP connection of the local address probe.
HostSetting ReadProbeHost();
