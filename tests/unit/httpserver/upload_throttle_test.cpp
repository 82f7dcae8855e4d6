#include "httpserver/upload_throttle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Over a long run the bucket gives the cap and at most its quarter-second
// burst more; a turn never takes more than the quantum.
TEST(UploadThrottle, BucketKeepsTheRate) {
  TokenBucket bucket;
  const uint32_t rate = 2048 * 1024;
  bucket.SetRate(rate, 0);
  uint64_t now = 0, taken = 0, wait = 0;
  while (now < 10 * 1000000ULL) {
    const uint32_t got = bucket.Take(1 << 20, now, &wait);
    EXPECT_LE(got, bucket.Quantum());
    if (got == 0) {
      EXPECT_GT(wait, 0u);
      now += wait;
    }
    taken += got;
  }
  EXPECT_GE(taken, 10ULL * rate);
  EXPECT_LE(taken, 10ULL * rate + rate / 4);
  bucket.SetRate(4 * 1024, 0);
  EXPECT_EQ(bucket.Quantum(), 512u);
  EXPECT_LE(bucket.Quantum(), 4 * 1024 / 4u);
}

// Peers that all want more get even shares (counted once all are queued, past
// the first burst); a pause sends every waiter away with nothing, and a lifted
// cap lets everything through.
TEST(UploadThrottle, TurnsAreFairAndPauseEndsThem) {
  UploadThrottle throttle;
  throttle.SetCap(256 * 1024);
  constexpr int kPeers = 4;
  std::vector<std::atomic<uint64_t>> got(kPeers);
  std::vector<std::thread> peers;
  for (int peer = 0; peer < kPeers; ++peer) {
    peers.emplace_back([&, peer] {
      while (uint32_t granted = throttle.Acquire(1 << 20)) got[peer] += granted;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<uint64_t> start(kPeers);
  for (int peer = 0; peer < kPeers; ++peer) start[peer] = got[peer];
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<uint64_t> share(kPeers);
  uint64_t total = 0;
  for (int peer = 0; peer < kPeers; ++peer) total += share[peer] = got[peer] - start[peer];
  throttle.SetPaused(true);
  for (auto& peer : peers) peer.join();
  for (uint64_t bytes : share) {
    EXPECT_LE(bytes, total / kPeers * 11 / 10) << total;
    EXPECT_GE(bytes, total / kPeers * 9 / 10) << total;
  }
  EXPECT_EQ(throttle.Acquire(100), 0u);
  throttle.SetPaused(false);
  throttle.SetCap(0);
  EXPECT_EQ(throttle.Acquire(5 << 20), 5u << 20);
}

}  // namespace
