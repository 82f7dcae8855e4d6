#include "ipc/accept_error.h"

namespace {
// Winsock's numbers, fixed by the Windows Sockets interface.
constexpr int kWsaInterrupted = 10004;      // WSAEINTR
constexpr int kWsaTooManyOpen = 10024;      // WSAEMFILE
constexpr int kWsaConnAborted = 10053;      // WSAECONNABORTED
constexpr int kWsaConnReset = 10054;        // WSAECONNRESET
constexpr int kWsaNoBuffers = 10055;        // WSAENOBUFS
}  // namespace

bool IsPassingAcceptError(int wsa_error) {
  switch (wsa_error) {
    case kWsaInterrupted:
    case kWsaTooManyOpen:
    case kWsaConnAborted:
    case kWsaConnReset:
    case kWsaNoBuffers:
      return true;
    default:
      return false;
  }
}
