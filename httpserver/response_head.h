// The answer heads the file service writes. Peers parse these byte for byte,
// quirks included (the fixed Date, "Content-length", Content-Range on 200).
#pragma once

#include <cstdint>
#include <string>

// Sent when no handler takes a request, or the file is not shared or not readable.
constexpr char kNotFoundAnswer[] = "HTTP/1.0 404 Not Found\r\n\r\n";
constexpr size_t kNotFoundAnswerSize = sizeof(kNotFoundAnswer) - 1;

// Sent while the player has paused sharing; the connection is then closed.
constexpr char kPausedAnswer[] =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 60\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";
constexpr size_t kPausedAnswerSize = sizeof(kPausedAnswer) - 1;

// The paused answer's shape for an internet peer refused on a metered link or a
// spent monthly budget, with its own Retry-After.
std::string BuildRefusedAnswer(uint32_t retry_after_s);

// The 200 (length equals total) or 206 head for `length` bytes from `begin`,
// a range that ResolveRange gave: begin + length <= total, so no sum overflows.
// `file_name` goes into Content-Disposition unescaped; no such line when empty.
std::string BuildResponseHead(int64_t total, bool keep_alive, const std::string& file_name,
                              int64_t length, int64_t begin);

// The 416 head for a range the file cannot satisfy; it has no body, so the
// connection may stay open.
std::string BuildUnsatisfiableHead(int64_t total, bool keep_alive);

// The last part of a local path after its last "\" (the whole path without one).
std::string FileNameOfPath(const std::string& path);
