// The local IPC request: four CR LF lines (local path, MD5 text, URL, share
// mode), read as the first line and then the rest of the bytes.
#pragma once

#include <string>

struct IpcRequest {
  std::string local_path;
  std::string md5;
  std::string url;
  std::string mode;
};

// `first_line` is the first line as read, its LF included; `rest` is what
// followed. The path is the first line without its last two bytes (CR LF; a
// client ending it with a lone LF loses one character). The MD5 text, URL and
// mode are the rest's first three CR LF lines; bytes after the third are
// ignored. False, with `request` untouched, when the rest is empty or lacks one
// of the three CR LFs.
bool ParseIpcRequest(const std::string& first_line, const std::string& rest,
                     IpcRequest* request);
