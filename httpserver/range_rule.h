// The byte range a peer asks for, and what the server answers to it.
//
// Only the first range of a RANGE value is served. Offsets are 64-bit: the
// catalogue holds files up to 4 GiB, past the reach of 32-bit offsets.
#pragma once

#include <cstdint>
#include <string>

struct RangeRequest {
  bool given = false;    // a RANGE value with "bytes=" and a "-" after it
  int64_t begin = 0;     // first byte wanted
  int64_t end = 0;       // last byte wanted; 0 means the file's last byte
  std::string end_text;  // the text from the "-" on, as the peer wrote it
};

// Reads a RANGE header value. A value without "bytes=", or without a "-" after
// it, is ignored: the whole file is served. A number that cannot be read counts
// as -1 (so "bytes=-500" begins at 0); negative offsets become 0.
RangeRequest ParseRangeHeader(const std::string& value);

struct ResolvedRange {
  bool satisfiable = true;
  int64_t begin = 0;
  int64_t length = 0;  // body bytes promised; begin + length never exceeds the size
};

// Applies a request to a file of `total` bytes (0 or more). A given range whose
// begin lies at or past the end of the file, or whose end lies before its begin,
// is not satisfiable. An end past the end of the file is cut back to its last
// byte: a peer's end is any 63-bit number, and only the file's bytes can be sent.
ResolvedRange ResolveRange(const RangeRequest& request, int64_t total);

// Stream-style decimal reading: leading blanks skipped, optional sign, digits up
// to the first other character. -1 when no digit comes or the value needs more
// than 63 bits.
int64_t ReadDecimal64(const std::string& text);
