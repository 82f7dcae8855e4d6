// Parsing of a request head into the parts handlers ask for.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct ParsedRequest {
  std::string method;
  std::string raw_uri;  // as the request line gave it, query included (for the log)
  std::string uri;      // without the query
  std::string version;
  // Decoded key and value of every query piece with "=", in request order (for the log).
  std::vector<std::pair<std::string, std::string>> query_pieces;
  std::map<std::string, std::string> params;   // a later equal key wins
  std::map<std::string, std::string> headers;  // upper-cased names; repeats joined by CR LF
};

// The first three words of the head (separated by space, tab, CR or LF) are the
// method, URI and version; absent words are empty. Header lines are those with a
// ":"; a line longer than kMaxHeaderLineChars ends the header parsing.
ParsedRequest ParseRequestHead(const std::string& head);
