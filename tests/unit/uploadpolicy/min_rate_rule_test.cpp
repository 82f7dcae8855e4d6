#include "uploadpolicy/min_rate_rule.h"

#include <gtest/gtest.h>

#include <vector>

#include "httpserver/http_limits.h"
#include "uploadpolicy/slowest_answer.h"

namespace {

// The real limits: 16 KiB over 60 s. A peer that takes a few KiB now and then
// is too slow once a whole window has passed; one at 64 kbit/s never is; time
// spent waiting for a turn under a cap does not count against the peer.
TEST(MinRateRule, JudgesTheLastWindowOfSendingTime) {
  // 2 KiB every 10 s: 12 KiB in any 60 s.
  MinRateRule dribbler(60000, 16384, 5000);
  bool closed_at_window = false;
  for (uint64_t t = 5000, total = 0; t <= 5000 + 120000; t += 1000) {
    if (t % 10000 == 0) dribbler.Took(total += 2048, t);
    const bool slow = dribbler.TooSlow(t);
    EXPECT_EQ(slow, t >= 5000 + 60000) << t;
    closed_at_window = closed_at_window || slow;
  }
  EXPECT_TRUE(closed_at_window);

  // 8,000 bytes a second, read in 1 KiB gulps: never too slow.
  MinRateRule honest(60000, 16384, 0);
  for (uint64_t t = 0, total = 0; t <= 180000; t += 128) {
    honest.Took(total += 1024, t);
    EXPECT_FALSE(honest.TooSlow(t)) << t;
  }
  EXPECT_GE(honest.TakenInWindow(), 60u * 7900);

  // 4 KiB a minute under a cap that keeps the peer waiting 59 s of each for
  // its turn: its sending time is a second a minute, and it is never too slow.
  MinRateRule capped(60000, 16384, 0), uncounted(60000, 16384, 0);
  for (uint64_t t = 60000, total = 4096; t <= 600000; t += 60000, total += 4096) {
    capped.Exclude(59000);
    capped.Took(total, t);
    uncounted.Took(total, t);
  }
  EXPECT_FALSE(capped.TooSlow(600000));
  EXPECT_TRUE(uncounted.TooSlow(600000));
}

// At the bound the answer that took the fewest bytes over its last window gives
// way, if that is below 64 KiB: one that empties a 16 KiB receive window every
// 45 s, above the minimum, does; one at 64 kbit/s never does.
TEST(SlowestAnswer, GivesWayBelowTheEvictionRate) {
  MinRateRule dribbler(60000, 16384, 0), modem(60000, 16384, 0);
  for (uint64_t t = 0, d = 0, m = 0; t <= 120000; t += 1000) {
    if (t % 45000 == 0) dribbler.Took(d += 16384, t);
    modem.Took(m += 8000, t);
  }
  EXPECT_FALSE(dribbler.TooSlow(120000));
  EXPECT_FALSE(modem.TooSlow(120000));
  const uint64_t slow = dribbler.TakenInWindow(), honest = modem.TakenInWindow();
  const uint64_t below = http_limits::kEvictBelowBytes;
  struct Row {
    std::vector<uint64_t> taken;
    ptrdiff_t closed;
  };
  const Row rows[] = {
      {{honest, slow, honest}, 1},       {{honest, honest}, -1},
      {{slow, slow - 1, below}, 1},      {{below - 1, below - 1}, 0},
      {{below, honest}, -1},             {{}, -1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SlowestAnswerBelow(row.taken, below), row.closed) << ::testing::PrintToString(row.taken);
  }
}

// Bytes the system took count as the peer's only while its send buffer is
// small enough to stay full: past the crowded count a new connection's buffer
// is bounded; a buffer a test sets always holds.
TEST(SlowestAnswer, CrowdedConnectionsGetABoundedSendBuffer) {
  HttpServerLimits own, set;
  set.send_buffer_bytes = 16 * 1024;
  const int32_t crowded = http_limits::kCrowdedConnections;
  const struct {
    const HttpServerLimits& limits;
    int32_t open;
    uint32_t bytes;
  } rows[] = {
      {own, 1, 0},
      {own, crowded, 0},
      {own, crowded + 1, http_limits::kCrowdedSendBufferBytes},
      {own, http_limits::kMaxConnections, http_limits::kCrowdedSendBufferBytes},
      {set, 1, 16 * 1024},
      {set, http_limits::kMaxConnections, 16 * 1024},
  };
  for (const auto& row : rows) EXPECT_EQ(row.limits.SendBufferFor(row.open), row.bytes) << row.open;
}

}  // namespace
