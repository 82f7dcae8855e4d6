// The "UploadCost" thread: what the connection costs (INetworkCostManager, asked
// every minute and when its events hint at a change), this machine's on-link
// prefixes (again when an address changes, or every minute), the calendar
// month, and the month's upload count kept in the engine key.
#pragma once

#include <cstdint>

#include "uploadpolicy/upload_book.h"

class IThreadManager;

void StartMeteredWatch(IThreadManager* threads);
// Writes the month's count a last time; waits at most `wait_ms` for the thread.
void StopMeteredWatch(uint32_t wait_ms);

// The log line of a change of the budget: the book's sink, the one place that
// logs them.
void LogBookChange(UploadBook::Change change, const UploadBook::Figures& figures);
