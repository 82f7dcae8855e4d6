// Whether a connection stays open after an answer.
#pragma once

#include <string>

// HTTP/1.0 stays open only when CONNECTION contains "keep-alive"; any other
// version stays open unless CONNECTION contains "close". Both searches are plain
// and case-sensitive: peers rely on exactly this.
bool KeepAliveFor(const std::string& version, const std::string& connection);
