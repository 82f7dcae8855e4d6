// Log texts of the HTTP server and the file handler, in the GBK bytes the log
// file carries (sources stay UTF-8; the Chinese is in the comment above each).
#pragma once

namespace http_log {

// Http Server启动
constexpr char kServerStarted[] = "Http Server\xC6\xF4\xB6\xAF";
// 侦听端口: %d %s
constexpr char kListening[] = "\xD5\xEC\xCC\xFD\xB6\xCB\xBF\xDA: %d %s";
// 成功
constexpr char kSucceeded[] = "\xB3\xC9\xB9\xA6";
// 失败
constexpr char kFailed[] = "\xCA\xA7\xB0\xDC";
// 打开一个HttpConnection
constexpr char kConnectionOpened[] = "\xB4\xF2\xBF\xAA\xD2\xBB\xB8\xF6HttpConnection";
// 关闭一个HttpConnection
constexpr char kConnectionClosed[] = "\xB9\xD8\xB1\xD5\xD2\xBB\xB8\xF6HttpConnection";
// 新的HttpConnection
constexpr char kConnectionRuns[] = "\xD0\xC2\xB5\xC4HttpConnection";
// 开始接受KeepAlive循环的第 %d 个请求。
constexpr char kKeepAliveRequest[] =
    "\xBF\xAA\xCA\xBC\xBD\xD3\xCA\xDCKeepAlive\xD1\xAD\xBB\xB7\xB5\xC4\xB5\xDA %d "
    "\xB8\xF6\xC7\xEB\xC7\xF3\xA1\xA3";
// 接受Http请求失败！
constexpr char kReceiveFailed[] = "\xBD\xD3\xCA\xDCHttp\xC7\xEB\xC7\xF3\xCA\xA7\xB0\xDC\xA3\xA1";
// 没有任何IHttpHandler处理该请求，发送404并中断连接。
constexpr char kNoHandler[] =
    "\xC3\xBB\xD3\xD0\xC8\xCE\xBA\xCEIHttpHandler\xB4\xA6\xC0\xED\xB8\xC3\xC7\xEB\xC7\xF3\xA3\xAC"
    "\xB7\xA2\xCB\xCD" "404\xB2\xA2\xD6\xD0\xB6\xCF\xC1\xAC\xBD\xD3\xA1\xA3";
constexpr char kRequestHead[] = "Http Request:\r\n%s";
constexpr char kMethod[] = "Method: %s";
constexpr char kUri[] = "URI: %s";
constexpr char kVersion[] = "Version: %s";
constexpr char kQueryPiece[] = "%s -> %s";

// Lines of our own for the bounds the server keeps.
constexpr char kTooManyConnections[] = "Http connection refused: %d connections open";
constexpr char kTooManyFromPeer[] = "Http connection refused: %d connections from %s open";
constexpr char kAcceptFailed[] = "Http accept failed: %d";
constexpr char kThreadRefused[] = "Http connection thread %s refused; connection closed";
constexpr char kTooSlow[] =
    "Http connection closed: the peer took %u bytes of its answer in %u s, fewer than %u";
constexpr char kIdleClosed[] =
    "Http connection closed after %u ms idle, the longest of %d open: a new one takes its place";
constexpr char kSlowClosed[] =
    "Http connection closed: the peer took %u bytes of its answer in %u s, the fewest of %d open:"
    " a new one takes its place";

// 请求文件: %s
constexpr char kRequestedFile[] = "\xC7\xEB\xC7\xF3\xCE\xC4\xBC\xFE: %s";
constexpr char kEndOffsetText[] = "endOffsetStr: %s";
// Offsets are 64-bit; they are written as decimal text.
constexpr char kBeginOffset[] = "beginOffset: %s";
constexpr char kEndOffset[] = "endOffset: %s";
// 需要发送 %d 字节，结果只发送了 %d 字节
constexpr char kShortSend[] =
    "\xD0\xE8\xD2\xAA\xB7\xA2\xCB\xCD %d \xD7\xD6\xBD\xDA\xA3\xAC\xBD\xE1\xB9\xFB\xD6\xBB\xB7\xA2"
    "\xCB\xCD\xC1\xCB %d \xD7\xD6\xBD\xDA";
// 总共发送 %s / %s 字节 (64-bit counts, as decimal text)
constexpr char kSentTotal[] = "\xD7\xDC\xB9\xB2\xB7\xA2\xCB\xCD %s / %s \xD7\xD6\xBD\xDA";

}  // namespace http_log
