// The PortMap thread's stop flags, read by the requests it has in flight.
#pragma once

// The end is asked for: no new look, no new request.
bool PortMapStopping();
// Requests in flight give up at their next slice.
bool PortMapCut();
// Asks for the end and cuts the requests in flight; false when it was asked before.
bool AskPortMapEnd();
// The end's own request is not to be cut short.
void UncutPortMap();
