// Announces the catalogue to the tracker host over UDP, from the "FileList"
// thread: at once, then an hour after each success, five minutes after each failure.
#pragma once

#include <windows.h>

constexpr DWORD kAnnounceAfterSuccessMs = 3600000;
constexpr DWORD kAnnounceAfterFailureMs = 300000;

// One announcement of additions (or of removals). True when the datagrams went
// out or there was nothing to send; false when the catalogue key, the tracker
// host's address or the local address text was not available.
bool AnnounceCatalogue(bool additions);

// The announcer loop; never returns. The pause between passes goes through
// the wait function (Sleep in the product).
[[noreturn]] void RunAnnouncer();

// Replaces the pause between passes, for tests: `wait` gets the pause the
// product would take and may return at once. Null restores Sleep.
using AnnounceWaitFn = void (*)(DWORD ms);
void SetAnnounceWaitForTest(AnnounceWaitFn wait);
