// Learns the local IPv4 address through which this machine reaches the probe
// host, and pairs it with the HTTP server's port for the tracker.
// Only the "FileList" thread calls it; the kept text needs no lock.
#pragma once

#include <string>

// "<address>%20<http port>%20Hash%20Hash%20Hash", or empty text when the probe
// fails now (the cause is logged at level 4). The first success is kept for the
// life of the process; failures are not, so the next call probes again.
std::string GetLocalAddressText();

// Forgets the kept text, for tests.
void ResetLocalAddressTextForTest();
