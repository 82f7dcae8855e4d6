#include "daemon/command_record.h"

#include <cstring>

DaemonCommand ParseCommandRecord(const void* data, size_t size) {
  DaemonCommand command;
  if (data == nullptr || size == 0) return command;
  const auto* bytes = static_cast<const uint8_t*>(data);
  switch (bytes[0]) {
    case CMD_QUIT:
      command.kind = DaemonCommandKind::kQuit;
      return command;
    case CMD_ADD_PROTECTED: {
      if (size < kMinAddRecordSize) return command;
      const char* path = reinterpret_cast<const char*>(bytes + 4);
      size_t available = size - 4;
      const void* nul = std::memchr(path, '\0', available);
      size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - path) : available;
      if (length > kMaxRecordPath) length = kMaxRecordPath;
      command.kind = DaemonCommandKind::kAddProtected;
      command.path.assign(path, length);
      return command;
    }
    default:
      return command;
  }
}
