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
  uint32_t Acquire(uint32_t want) override { return UploadThrottle::Shared().Acquire(want); }
  bool AddSent(bool lan, uint64_t bytes) override {
    return UploadBook::Shared().AddBytes(lan, bytes) == UploadBook::Change::kBudgetReached;
  }
  uint64_t BudgetBytes() override { return UploadBook::Shared().Read().settings.budget_bytes; }
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
