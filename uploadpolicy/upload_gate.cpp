// The upload gate over the process's shared policy objects.
#include "uploadpolicy/upload_gate.h"

#include <ctime>

#include "uploadpolicy/peer_class.h"
#include "uploadpolicy/served_stats.h"
#include "uploadpolicy/upload_book.h"
#include "uploadpolicy/upload_throttle.h"

namespace {

// A refusal lasts until the calendar month ends: wall time.
int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

class SharedGate final : public IUploadGate {
 public:
  bool IsLanPeer(uint32_t address) override { return LanPrefixes::Shared().IsLan(address); }
  bool Paused() override { return UploadThrottle::Shared().Paused(); }
  const std::atomic<bool>* PausedFlag() override { return UploadThrottle::Shared().PausedFlag(); }
  bool InternetRefused() override {
    return UploadBook::Shared().InternetRefused() != InternetRefusal::kNone;
  }
  uint32_t RetryAfter() override { return UploadBook::Shared().RetryAfter(NowSeconds()); }
  const std::atomic<bool>* InternetStopFlag() override {
    return UploadBook::Shared().InternetStopFlag();
  }
  bool LanUncapped() override { return UploadBook::Shared().LanUncapped(); }
  uint32_t Acquire(uint32_t want, bool lan, uint32_t peer) override {
    if (!lan) NoteInternetPeerServed(peer, UploadThrottle::SteadyNowUs() / 1000);
    return AcquireTurn(UploadThrottle::Internet(), UploadThrottle::Shared(), lan, true, want);
  }
  uint32_t InternetTurn(uint32_t want) override {
    return static_cast<uint32_t>(UploadBook::Shared().TakeInternetTurn(want));
  }
  void AddSent(bool lan, uint64_t held, uint64_t bytes) override {
    if (lan) {
      UploadBook::Shared().AddBytes(true, bytes);
    } else {
      UploadBook::Shared().SettleInternetTurn(held, bytes);
    }
  }
  void AddServedRequest() override { ServedStats::Shared().AddRequest(); }
  void AddServedBytes(const std::string& md5, const std::string& path, uint64_t bytes) override {
    ServedStats::Shared().AddBytes(md5, path, bytes);
  }
};

}  // namespace

IUploadGate& SharedUploadGate() {
  static SharedGate gate;
  return gate;
}
