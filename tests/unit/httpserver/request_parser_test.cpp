#include "httpserver/request_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "httpserver/keep_alive_rule.h"

namespace {

// Method, URI and version are the first three words; any blank separates them.
TEST(RequestParser, RequestLineWords) {
  ParsedRequest request = ParseRequestHead("GET /abc HTTP/1.1\r\n\r\n");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.uri, "/abc");
  EXPECT_EQ(request.version, "HTTP/1.1");

  request = ParseRequestHead(" \tPOST\t/x \r\n HTTP/1.0 extra\r\n\r\n");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.uri, "/x");
  EXPECT_EQ(request.version, "HTTP/1.0");

  request = ParseRequestHead("GET\r\n\r\n");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.uri, "");
  EXPECT_EQ(request.version, "");
}

// The query is decoded into parameters and removed from the URI handlers see.
TEST(RequestParser, QueryBecomesParameters) {
  ParsedRequest request =
      ParseRequestHead("GET /f?a=1&b=%41%2&flag&a=2&c%3d=x=y&=e&? HTTP/1.1\r\n\r\n");
  EXPECT_EQ(request.uri, "/f");
  EXPECT_EQ(request.raw_uri, "/f?a=1&b=%41%2&flag&a=2&c%3d=x=y&=e&?");
  EXPECT_EQ(request.params.at("a"), "2");      // a later key overwrites
  EXPECT_EQ(request.params.at("b"), "A%2");    // a short escape stays
  EXPECT_EQ(request.params.count("flag"), 0u);  // no "=", no parameter
  EXPECT_EQ(request.params.at("c="), "x=y");    // split at the first "=" only
  EXPECT_EQ(request.params.at(""), "e");
  EXPECT_EQ(request.params.size(), 4u);
  ASSERT_EQ(request.query_pieces.size(), 5u);
  EXPECT_EQ(request.query_pieces[1].second, "A%2");
  EXPECT_EQ(request.query_pieces[2].second, "2");

  request = ParseRequestHead("GET /0123?q HTTP/1.1\r\n\r\n");
  EXPECT_EQ(request.uri, "/0123");
  EXPECT_TRUE(request.params.empty());
  EXPECT_EQ(ParseRequestHead("GET /plain HTTP/1.1\r\n\r\n").uri, "/plain");
}

// Names are upper-cased; values keep their case and lose one blank after the colon,
// when there is one.
TEST(RequestParser, HeaderNamesAndValues) {
  ParsedRequest request = ParseRequestHead(
      "GET / HTTP/1.1\r\nrange: bytes=1-2\r\nConNection: Keep-Alive\r\nX-a b: v\r\n"
      "Tight:bytes=100-\r\nTab:\tt\r\nTwo:  2\r\nEmpty:\r\nBlank: \r\nNoCr: last\n\r\n");
  EXPECT_EQ(request.headers.at("RANGE"), "bytes=1-2");
  EXPECT_EQ(request.headers.at("CONNECTION"), "Keep-Alive");
  EXPECT_EQ(request.headers.at("X-A B"), "v");
  EXPECT_EQ(request.headers.at("TIGHT"), "bytes=100-");
  EXPECT_EQ(request.headers.at("TAB"), "t");
  EXPECT_EQ(request.headers.at("TWO"), " 2");
  EXPECT_EQ(request.headers.at("EMPTY"), "");
  EXPECT_EQ(request.headers.at("BLANK"), "");
  EXPECT_EQ(request.headers.at("NOCR"), "last");
  EXPECT_EQ(request.headers.count("range"), 0u);
}

// Repeated names join their values with CR LF, in line order; an empty one is replaced.
TEST(RequestParser, RepeatedHeadersAreJoined) {
  ParsedRequest request = ParseRequestHead(
      "GET / HTTP/1.1\r\nA: one\r\na: two\r\nA: three\r\nB: \r\nB: set\r\nC: c\r\nC: \r\n\r\n");
  EXPECT_EQ(request.headers.at("A"), "one\r\ntwo\r\nthree");
  EXPECT_EQ(request.headers.at("B"), "set");
  EXPECT_EQ(request.headers.at("C"), "c\r\n");
}

// A line of more than 2046 characters ends the header parsing; the ones before count.
TEST(RequestParser, OverlongLineEndsHeaders) {
  const std::string fits = "F: " + std::string(2046 - 4, 'f') + "\r";
  ASSERT_EQ(fits.size(), 2046u);
  ParsedRequest request = ParseRequestHead("GET / HTTP/1.1\r\n" + fits + "\nAfter: yes\r\n\r\n");
  EXPECT_EQ(request.headers.at("F").size(), 2046u - 4);
  EXPECT_EQ(request.headers.at("AFTER"), "yes");

  request = ParseRequestHead("GET / HTTP/1.1\r\nBefore: yes\r\n" + fits + "x\nAfter: no\r\n\r\n");
  EXPECT_EQ(request.headers.at("BEFORE"), "yes");
  EXPECT_EQ(request.headers.count("F"), 0u);
  EXPECT_EQ(request.headers.count("AFTER"), 0u);
}

// The keep-alive table: HTTP/1.0 opts in, anything else opts out; case counts.
TEST(KeepAliveRule, Table) {
  EXPECT_TRUE(KeepAliveFor("HTTP/1.0", "keep-alive"));
  EXPECT_TRUE(KeepAliveFor("HTTP/1.0", "x, keep-alive"));
  EXPECT_FALSE(KeepAliveFor("HTTP/1.0", ""));
  EXPECT_FALSE(KeepAliveFor("HTTP/1.0", "Keep-Alive"));
  EXPECT_FALSE(KeepAliveFor("HTTP/1.0", "close"));
  EXPECT_TRUE(KeepAliveFor("HTTP/1.1", ""));
  EXPECT_TRUE(KeepAliveFor("HTTP/1.1", "Close"));
  EXPECT_TRUE(KeepAliveFor("HTTP/1.1", "keep-alive"));
  EXPECT_FALSE(KeepAliveFor("HTTP/1.1", "close"));
  EXPECT_FALSE(KeepAliveFor("HTTP/1.1", "x-close-y"));
  EXPECT_FALSE(KeepAliveFor("", "close"));
  EXPECT_TRUE(KeepAliveFor("http/1.0", ""));  // only exactly "HTTP/1.0" is 1.0
}

}  // namespace
