// The local answers on the peer port and their rules, apart from sockets: which
// path is asked, whether an action carries the page's token, and the head every
// local answer carries. The page and its files are read only by a same-origin
// page (Host rule, no CORS header), and the token is given only inside them, so
// a state change needs something no other site can read.
#pragma once

#include <string>

enum class LocalPath { kNone, kStatus, kPage, kUiFile, kPause, kResume, kVerify };

// "GET /status", "GET /", "GET /ui/<name>", "POST /pause", "POST /resume",
// "POST /verify"; anything else is kNone. A UI name is letters, digits, '.',
// '-' and '_' only, and starts with none of the last three.
LocalPath LocalPathOf(const std::string& method, const std::string& uri);

// Whether the path changes the engine's state: it then needs the token.
inline bool ChangesState(LocalPath path) {
  return path == LocalPath::kPause || path == LocalPath::kResume || path == LocalPath::kVerify;
}

// The header that carries the token (as stored: upper case), sent by the page
// and by zrvdctl. A form cannot set a header, and a script of another origin
// setting one is stopped by the preflight that nobody answers.
constexpr char kTokenHeader[] = "X-STATUS-TOKEN";

// `given` is `expected` (not empty); time taken does not depend on where they differ.
bool TokenMatches(const std::string& given, const std::string& expected);

// The page template with every "{{token}}" replaced by `token`.
std::string FillPage(const std::string& page, const std::string& token);

// A whole answer closing the connection: status line, `type`, length, the
// page's security headers, body.
std::string LocalAnswer(const char* status, const std::string& type, const std::string& body);
