// The command records a launcher sends in WM_COPYDATA.
//
// Offset 0: command byte (0 add a protected path, 1 quit); 1-3 reserved;
// 4: ANSI path ending in NUL (add only). Records come from other processes, so
// nothing is read past the size the sender gave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class DaemonCommandKind { kIgnore, kAddProtected, kQuit };

constexpr uint8_t CMD_ADD_PROTECTED = 0;
constexpr uint8_t CMD_QUIT = 1;

// Longest path kept from a record; paths live in 260-byte buffers.
constexpr size_t kMaxRecordPath = 259;
// An add carries the command byte, three reserved bytes and at least one path
// byte or the NUL; a quit needs only its command byte.
constexpr size_t kMinAddRecordSize = 5;

struct DaemonCommand {
  DaemonCommandKind kind = DaemonCommandKind::kIgnore;
  std::string path;  // kAddProtected only; may be empty
};

// A null or empty record is ignored, and so is an add too short for its path.
// The path ends at the first NUL within `size`, or at `size` when there is
// none, and is cut to kMaxRecordPath bytes.
DaemonCommand ParseCommandRecord(const void* data, size_t size);
