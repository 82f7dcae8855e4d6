// Rules the web report client applies to an HTTP answer.
#pragma once

#include <cstddef>
#include <cstdint>

// A body this long or shorter is read into one allocation of its announced
// size; anything else goes through the block reader.
constexpr uint32_t kMaxAnnouncedBody = 1024 * 1024;

// The block reader stops here: a tracker's answer is a few bytes, and a peer
// that streams for ever must not grow the text without end.
constexpr size_t kMaxBlockBody = 1024 * 1024;

// Whether a request counts as answered: the status is 2xx, or it could not be
// read at all.
bool IsAcceptedStatus(bool status_known, uint32_t status);

// A Content-Length text that is a plain decimal number (digits only, at least
// one) of at most kMaxAnnouncedBody. `text` holds `length` bytes and may stop
// early at a NUL. False for anything else: a sign, blanks, hex, overflow.
bool ParseContentLength(const char* text, size_t length, uint32_t* value);
