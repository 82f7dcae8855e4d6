// What an answer to a peer asks of the upload policy: the peer's class, the
// pause, the refusal of internet peers, the shared cap's turns, the month's
// count and the served statistics. The HTTP server is given one at start.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Called from many connection threads at once.
class IUploadGate {
 public:
  // Whether the peer at `address` (IPv4, host byte order) is on the LAN; asked
  // once per connection, as a peer does not move between links while connected.
  virtual bool IsLanPeer(uint32_t address) = 0;

  // Sharing is paused: no file answer starts, and a LAN peer's answer ends.
  virtual bool Paused() = 0;
  virtual const std::atomic<bool>* PausedFlag() = 0;
  // Internet peers are refused now; when so, the Retry-After seconds to tell them.
  virtual bool InternetRefused() = 0;
  virtual uint32_t RetryAfter() = 0;
  // Set while an internet peer's answer must end (a pause or a refusal).
  virtual const std::atomic<bool>* InternetStopFlag() = 0;
  // LAN peers are outside the caps.
  virtual bool LanUncapped() = 0;

  // A turn of at most `want` bytes under the shared cap and, for an internet
  // peer (at `peer`, host byte order), under the delay control's rate; 0
  // while paused.
  virtual uint32_t Acquire(uint32_t want, bool lan, uint32_t peer) = 0;
  // The most an internet peer's turn may send of `want`: while a budget is set,
  // no more than is left of it less what other turns hold; 0 when none is left.
  // What it grants is held until AddSent.
  virtual uint32_t InternetTurn(uint32_t want) = 0;
  // `bytes` sent to a peer of that class in a turn that held `held` (0 for LAN).
  virtual void AddSent(bool lan, uint64_t held, uint64_t bytes) = 0;

  // One request answered with a file; `bytes` of file `md5`'s body (at `path`) sent.
  virtual void AddServedRequest() = 0;
  virtual void AddServedBytes(const std::string& md5, const std::string& path,
                              uint64_t bytes) = 0;

 protected:
  ~IUploadGate() = default;
};

// The gate over this process's policy: the shared throttle, book, statistics
// and LAN prefixes that the settings and the cost thread keep.
IUploadGate& SharedUploadGate();
