// The "UploadCost" thread: what the connection costs (INetworkCostManager, asked
// every minute and when its events hint at a change), this machine's on-link
// prefixes (again when an address changes, or every minute), the calendar
// month, and the month's upload count kept in the engine key.
#pragma once

#include <cstdint>

#include "uploadpolicy/upload_book.h"

class IThreadManager;

void StartMeteredWatch(IThreadManager* threads);
// Writes the month's count now if it moved (the finish's first step).
void SaveMonthCountNow();
// The engine key was deleted and made again: the count is written there at once.
void MonthCountKeyRemade();
// Asks the thread to end (it writes the count on its way out), without
// waiting: the thread's handle to wait on (kept here), or null when none runs.
void* AskMeteredWatchToStop();

// The log line of a change of the budget: the book's sink, the one place that
// logs them.
void LogBookChange(UploadBook::Change change, const UploadBook::Figures& figures);
