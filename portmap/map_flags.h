// The PortMap thread's stop flags, read by the requests it has in flight.
#pragma once

// The end is asked for: no new look, no new request.
bool PortMapStopping();
// Requests in flight give up at their next slice.
bool PortMapCut();
