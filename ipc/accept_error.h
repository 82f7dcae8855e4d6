// Which failures of accept leave a listening socket worth keeping.
#pragma once

// Winsock error numbers of failures that concern one connection or a passing
// shortage (a reset before the accept, no buffers, no descriptors, a blocking
// call interrupted): the listener pauses and goes on. Any other error means the
// listening socket itself is unusable.
bool IsPassingAcceptError(int wsa_error);
