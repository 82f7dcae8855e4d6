#include "uploadpolicy/upload_throttle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Over a long run the bucket gives the cap and at most its burst more (a
// quarter of a second, or the fraction it was made with); a turn never takes
// more than the quantum.
TEST(UploadThrottle, BucketKeepsTheRate) {
  for (uint32_t divisor : {4u, 64u}) {
    TokenBucket bucket(divisor);
    const uint32_t rate = 2048 * 1024;
    bucket.SetRate(rate, 0);
    EXPECT_EQ(bucket.Quantum(), divisor == 4 ? 64u * 1024 : rate / 64);  // 64 KiB at most
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
    EXPECT_LE(taken, 10ULL * rate + rate / divisor);
  }
  TokenBucket bucket;
  bucket.SetRate(4 * 1024, 0);
  EXPECT_EQ(bucket.Quantum(), 512u);
}

// At every rate, down to a byte a second and up to the largest cap, the wait a
// drained bucket names is enough for the next turn: no turn outgrows the bucket.
TEST(UploadThrottle, EveryTurnComesAtEveryRate) {
  for (uint32_t rate : {1u, 1024u, 2047u, 4096u, 100000u, 4194303u * 1024}) {
    TokenBucket bucket;
    bucket.SetRate(rate, 0);
    uint64_t now = 0, wait = 0;
    while (bucket.Take(1 << 20, now, &wait) != 0) {
    }
    now += wait;
    EXPECT_GT(bucket.Take(1 << 20, now, &wait), 0u) << rate;
  }
}

// A clock that moves only when the test says so.
std::atomic<uint64_t> g_fakeNowUs{0};
uint64_t FakeNowUs() { return g_fakeNowUs.load(); }

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Peers that all want more take turns in the order they queued, one quantum
// each, however the threads are scheduled; a pause sends every waiter away with
// nothing, and a lifted cap lets everything through.
TEST(UploadThrottle, TurnsGoRoundInOrderAndPauseEndsThem) {
  g_fakeNowUs = 0;
  UploadThrottle throttle(FakeNowUs);
  const uint32_t rate = 16 * 4096;  // a quantum of 4096 bytes, one every 62.5 ms
  throttle.SetCap(rate);
  constexpr int kPeers = 4;
  std::mutex lock;
  std::vector<int> order;
  std::vector<uint32_t> grants;
  std::vector<std::thread> peers;
  for (int peer = 0; peer < kPeers; ++peer) {
    peers.emplace_back([&, peer] {
      while (uint32_t granted = throttle.Acquire(1 << 20)) {
        std::lock_guard<std::mutex> hold(lock);
        order.push_back(peer);
        grants.push_back(granted);
      }
    });
    // The first drains the burst; each then waits for its turn before the next comes.
    ASSERT_TRUE(WaitFor([&] { return throttle.Waiting() == static_cast<uint64_t>(peer) + 1; }));
  }
  const auto recorded = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return order.size();
  };
  ASSERT_EQ(recorded(), 4u);  // the burst: a quarter of a second, four quanta
  for (size_t turn = 1; turn <= 12; ++turn) {
    g_fakeNowUs += 62500;  // exactly one quantum's worth
    throttle.Recheck();
    ASSERT_TRUE(WaitFor([&] { return recorded() == 4 + turn && throttle.Waiting() == kPeers; }));
  }
  throttle.SetPaused(true);
  for (auto& peer : peers) peer.join();
  const std::vector<int> expected = {0, 0, 0, 0, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
  EXPECT_EQ(order, expected);
  for (uint32_t granted : grants) EXPECT_EQ(granted, 4096u);

  EXPECT_EQ(throttle.Acquire(100), 0u);
  throttle.SetPaused(false);
  throttle.SetCap(0);
  EXPECT_EQ(throttle.Acquire(5 << 20), 5u << 20);
}

// An internet turn draws on the delay control's rate and then the caps, and
// hands back what the caps did not grant; a LAN turn never touches the rate.
TEST(UploadThrottle, InternetTurnsDrawOnTheRateLanNever) {
  g_fakeNowUs = 0;
  UploadThrottle internet(FakeNowUs), caps(FakeNowUs);
  internet.SetCap(16 * 4096);  // turns of 4096, a bucket of 16384
  caps.SetCap(16 * 1024);      // turns of 1024
  EXPECT_EQ(AcquireTurn(internet, caps, false, true, 1 << 20), 1024u);
  for (int turn = 0; turn < 3; ++turn) EXPECT_EQ(internet.Acquire(1 << 20), 4096u);
  // What is left is the 3072 the caps did not take.
  std::atomic<uint32_t> got{0};
  std::thread rest([&] { got = internet.Acquire(3072); });
  EXPECT_TRUE(WaitFor([&] { return got.load() == 3072; }));
  // A paused rate would answer 0 to anyone who drew on it: LAN turns do not.
  internet.SetPaused(true);
  rest.join();
  EXPECT_EQ(AcquireTurn(internet, caps, false, true, 100), 0u);
  EXPECT_EQ(AcquireTurn(internet, caps, true, false, 5000), 5000u);
  EXPECT_EQ(AcquireTurn(internet, caps, true, true, 5000), 1024u);
  // With no rate and no cap an internet turn is still bounded; a LAN turn is not.
  internet.SetPaused(false);
  internet.SetCap(0);
  caps.SetCap(0);
  EXPECT_EQ(AcquireTurn(internet, caps, false, true, 1 << 20), kMaxInternetTurnBytes);
  EXPECT_EQ(AcquireTurn(internet, caps, true, true, 1 << 20), 1u << 20);
}

}  // namespace
