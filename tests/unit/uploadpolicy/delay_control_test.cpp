#include "uploadpolicy/delay_control.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr uint32_t kPeer = 0xCB007107;     // 203.0.113.7
constexpr uint32_t kGateway = 0xC0A80001;  // 192.168.0.1
constexpr uint32_t kHop = 0x0A000001;      // the router's outside neighbour

// The base is the least over the last minutes, kept per minute; the current
// delay the least of the latest few; a route change forgets both.
TEST(QueueDelay, BaseAndCurrent) {
  QueueDelay delay;
  EXPECT_FALSE(delay.Known());
  delay.Add(20, 0);
  delay.Add(90, 1000);
  delay.Add(80, 2000);
  EXPECT_EQ(delay.base_ms(), 20u);
  EXPECT_EQ(delay.current_ms(), 20u);  // 20 is still among the latest three
  delay.Add(100, 3000);
  EXPECT_EQ(delay.current_ms(), 80u);
  EXPECT_EQ(delay.queueing_ms(), 60u);
  // Ten minutes on, the old minimum has left the window: the base rises to
  // what the route gives now.
  for (uint64_t minute = 1; minute <= QueueDelay::kBaseMinutes; ++minute) {
    delay.Add(30, minute * 60000);
  }
  EXPECT_EQ(delay.base_ms(), 30u);
  delay.Forget();
  EXPECT_FALSE(delay.Known());
  delay.Add(50, 700000);
  EXPECT_EQ(delay.base_ms(), 50u);
  EXPECT_EQ(delay.queueing_ms(), 0u);
}

struct Link {
  // A bottleneck of `capacity` bytes a second whose queue grows by what is
  // sent above it; the rule sees that queue as delay.
  double capacity;
  double queue_bytes = 0;
  uint32_t base_ms = 20;
  uint32_t Rtt() const { return base_ms + static_cast<uint32_t>(queue_bytes * 1000 / capacity); }
  void Send(double rate, double seconds) {
    queue_bytes += (rate - capacity) * seconds;
    if (queue_bytes < 0) queue_bytes = 0;
  }
};

// Drives the rule against a link for `ms` with demand unbounded; answers the
// largest queueing delay seen after `settle_ms`.
uint32_t Drive(DelayRate* rate, QueueDelay* delay, Link* link, uint32_t target, uint64_t from_ms,
               uint64_t ms, uint64_t settle_ms, double* mean_rate) {
  uint32_t worst = 0;
  double total = 0;
  uint64_t counted = 0;
  for (uint64_t now = from_ms; now < from_ms + ms; now += 100) {
    const double allowed = rate->Rate(now);
    const double sent = allowed < link->capacity * 3 ? allowed : link->capacity * 3;
    link->Send(sent, 0.1);
    delay->Add(link->Rtt(), now);
    rate->Update({delay->queueing_ms(), delay->latest_queueing_ms(), delay->current_ms()}, target,
                 static_cast<uint64_t>(sent), now);
    if (now >= from_ms + settle_ms) {
      if (link->Rtt() - link->base_ms > worst) worst = link->Rtt() - link->base_ms;
      total += sent < link->capacity ? sent : link->capacity;
      ++counted;
    }
  }
  *mean_rate = counted ? total / counted : 0;
  return worst;
}

// From what went out unchecked the rule drains the queue it finds, settles
// near the target and uses most of the link, on a slow and on a fast uplink;
// it reaches a gigabit in seconds; it never goes under the floor.
TEST(DelayRate, SettlesUnderTheTargetAndUsesTheLink) {
  for (double capacity : {250e3, 2.5e6, 125e6}) {
    Link link{capacity};
    link.queue_bytes = capacity * 0.5;  // half a second queued before control
    DelayRate rate;
    QueueDelay delay;
    delay.Add(link.base_ms, 0);  // the base was seen once, before the upload
    rate.Start(static_cast<uint64_t>(capacity), 0);
    EXPECT_EQ(rate.Rate(0), DelayRate::kFloor);
    double mean = 0;
    const uint32_t worst = Drive(&rate, &delay, &link, 10, 0, 60000, 15000, &mean);
    EXPECT_LE(worst, 25u) << capacity;
    EXPECT_GE(mean, capacity * 0.7) << capacity;
    EXPECT_GE(rate.Rate(60000), DelayRate::kFloor);
  }
}

// Above the target the rate falls fast, from what was actually sent; under it
// it grows, fast far from where a queue last built and slowly near it, never
// past a few times what goes out, and not while the latest sample is high.
TEST(DelayRate, RisesUnderTheTargetFallsAbove) {
  using D = DelayRate::Delay;
  DelayRate rate;
  rate.Start(8000000, 0);
  uint64_t now = DelayRate::kFirstSlowdownMs;
  const uint32_t start = rate.Rate(now);
  EXPECT_EQ(start, 4000000u);
  rate.Update(D{0, 0, 20}, 10, 4000000, now += 100);
  const uint32_t grown = rate.Rate(now);
  EXPECT_GT(grown, start * 1.2);
  // Demand fell to little: the rate comes down to a few times that.
  rate.Update(D{0, 0, 20}, 10, 100000, now += 100);
  const uint32_t fell = rate.Rate(now);
  EXPECT_LE(fell, 100000u * DelayRate::kHeadroom);
  for (int step = 0; step < 20; ++step) rate.Update(D{0, 0, 20}, 10, 3000000, now += 100);
  EXPECT_GT(rate.Rate(now), fell * 4);
  rate.Update(D{200, 200, 220}, 10, 3000000, now += 100);
  EXPECT_EQ(rate.Rate(now), 1500000u);  // far above: half of what went out
  // The next cut waits for the first to show.
  rate.Update(D{200, 200, 220}, 10, 1500000, now += 100);
  EXPECT_EQ(rate.Rate(now), 1500000u);
  // Cuts in a row answer one queue: it built at 3 MB/s, so 1.35 MB/s grows fast.
  rate.Update(D{11, 11, 31}, 10, 1500000, now += 600);
  EXPECT_EQ(rate.Rate(now), 1350000u);  // just above: a gentle cut
  rate.Update(D{0, 0, 20}, 10, 1350000, now += 100);
  EXPECT_GT(rate.Rate(now), 1350000 * 1.2);
  // A queue of its own at 1.5 MB/s, later: near it the rate grows slowly; a
  // high latest sample stops it.
  rate.Update(D{11, 11, 31}, 10, 1500000, now += DelayRate::kOneQueueMs);
  const uint32_t cut = rate.Rate(now);
  EXPECT_EQ(cut, 1350000u);
  rate.Update(D{0, 0, 20}, 10, cut, now += 100);
  EXPECT_GT(rate.Rate(now), cut);
  EXPECT_LT(rate.Rate(now), cut * 1.05);
  const uint32_t held = rate.Rate(now);
  rate.Update(D{5, 12, 25}, 10, held, now += 100);
  EXPECT_EQ(rate.Rate(now), held);
  // Held at the top for ever, it never goes under the floor.
  for (int step = 0; step < 200; ++step) rate.Update(D{1000, 1000, 1020}, 10, 0, now += 100);
  EXPECT_EQ(rate.Rate(now), DelayRate::kFloor);
}

// Every minute a short slowdown at the floor lets the queue drain, so that a
// base first learned over a standing queue is learned again; then the rate is
// what it was.
TEST(DelayRate, SlowdownsRelearnTheBase) {
  DelayRate rate;
  rate.Start(1000000, 0);
  uint64_t now = DelayRate::kFirstSlowdownMs;
  uint64_t slow_ms = 0, first_slow = 0;
  uint32_t before = 0;
  for (; now < DelayRate::kFirstSlowdownMs + 2 * DelayRate::kSlowdownEveryMs; now += 100) {
    rate.Update(DelayRate::Delay{10, 10, 30}, 10, 500000, now);
    if (rate.SlowingDown(now)) {
      EXPECT_EQ(rate.Rate(now), DelayRate::kFloor);
      if (first_slow == 0) first_slow = now;
      slow_ms += 100;
    } else if (first_slow == 0) {
      before = rate.Rate(now);
    } else if (slow_ms == DelayRate::kSlowdownMs) {
      EXPECT_EQ(rate.Rate(now), before);
    }
  }
  EXPECT_EQ(first_slow, DelayRate::kFirstSlowdownMs + DelayRate::kSlowdownEveryMs);
  EXPECT_EQ(slow_ms, DelayRate::kSlowdownMs);
  EXPECT_EQ(before, 500000u);
}

// A reflector found by TTL steps toward the peer, checked for echo; TTL-limited
// probes where it does not answer echo; lost after seconds of silence.
TEST(ReflectorSearch, FindsChecksAndLoses) {
  ReflectorSearch search;
  search.Begin(kPeer, 0);
  ProbeOrder order = search.Next();
  EXPECT_EQ(order.kind, ProbeOrder::Kind::kTtlLimited);
  EXPECT_EQ(order.address, kPeer);
  EXPECT_EQ(order.ttl, 2);
  // The second hop is silent twice: the search goes one further.
  const ProbeAnswer none;
  EXPECT_EQ(search.OnAnswer(none, 100), ReflectorSearch::Event::kNothing);
  EXPECT_EQ(search.Next().ttl, 2);
  search.OnAnswer(none, 200);
  EXPECT_EQ(search.Next().ttl, 3);
  EXPECT_EQ(search.OnAnswer({ProbeAnswer::Kind::kTtlExpired, kHop, 12}, 300),
            ReflectorSearch::Event::kNothing);
  order = search.Next();
  EXPECT_EQ(order.kind, ProbeOrder::Kind::kEcho);
  EXPECT_EQ(order.address, kHop);
  // No echo: measured by TTL-limited probes at its hop.
  search.OnAnswer(none, 400);
  EXPECT_EQ(search.OnAnswer(none, 500), ReflectorSearch::Event::kFound);
  order = search.Next();
  EXPECT_EQ(order.kind, ProbeOrder::Kind::kTtlLimited);
  EXPECT_EQ(order.ttl, 3);
  EXPECT_EQ(search.hop(), 3);
  EXPECT_TRUE(search.Measures({ProbeAnswer::Kind::kTtlExpired, kHop, 15}));
  EXPECT_FALSE(search.Measures({ProbeAnswer::Kind::kTtlExpired, kGateway, 1}));
  // One answer a second (a router's limit) keeps it; five silent seconds lose it.
  uint64_t now = 500;
  for (int second = 0; second < 10; ++second) {
    for (int probe = 0; probe < 9; ++probe) {
      EXPECT_EQ(search.OnAnswer(none, now += 100), ReflectorSearch::Event::kNothing);
    }
    search.OnAnswer({ProbeAnswer::Kind::kTtlExpired, kHop, 15}, now += 100);
  }
  ReflectorSearch::Event event = ReflectorSearch::Event::kNothing;
  for (int probe = 0; probe < 60 && event == ReflectorSearch::Event::kNothing; ++probe) {
    event = search.OnAnswer(none, now += 100);
  }
  EXPECT_EQ(event, ReflectorSearch::Event::kLost);
  EXPECT_GE(now, 10500u + ReflectorSearch::kLostAfterMs);
  // Nothing answers at any TTL: none.
  search.Begin(kPeer, now);
  int probes = 0;
  do {
    event = search.OnAnswer(none, now += 100);
    ++probes;
  } while (event == ReflectorSearch::Event::kNothing);
  EXPECT_EQ(event, ReflectorSearch::Event::kNoneAnswers);
  EXPECT_EQ(probes, (ReflectorSearch::kLastTtl - 1) * ReflectorSearch::kTriesPerStep);
  EXPECT_EQ(search.Next().kind, ProbeOrder::Kind::kNone);
}

// The whole control: no probe while off or idle, at most ten a second while
// serving, a limit only while measuring, a route change searches again and
// forgets the base, a reflector that answers nothing leaves the rate free.
TEST(DelayControl, ScheduleStatesAndRoutes) {
  DelayControl control;
  DelayControl::Event event;
  DelayInputs in;
  in.gateway = kGateway;
  in.peer = kPeer;
  in.sent = 1000000;
  in.off_reason = "no probes here";
  EXPECT_EQ(control.Tick(in, 0, &event).kind, ProbeOrder::Kind::kNone);
  EXPECT_EQ(control.Status(0).state, DelayState::kOff);
  EXPECT_EQ(control.Status(0).reason, "no probes here");
  in.off_reason.clear();
  EXPECT_EQ(control.Tick(in, 0, &event).kind, ProbeOrder::Kind::kNone);  // idle
  EXPECT_EQ(control.Status(0).state, DelayState::kIdle);
  in.serving_internet = true;
  uint64_t now = 1000;
  int probes = 0;
  ProbeOrder order;
  // A second of ticks every 10 ms: ten probes at most.
  for (int tick = 0; tick < 100; ++tick, now += 10) {
    order = control.Tick(in, now, &event);
    if (order.kind == ProbeOrder::Kind::kNone) continue;
    if (++probes <= 2) {
      EXPECT_EQ(control.Status(now).state, DelayState::kSearching);
      EXPECT_EQ(control.Limit(now), 0u);
    }
    if (probes == 1) {
      control.OnAnswer({ProbeAnswer::Kind::kTtlExpired, kHop, 10}, now);
    } else if (probes == 2) {
      EXPECT_EQ(control.OnAnswer({ProbeAnswer::Kind::kEchoReply, kHop, 10}, now),
                DelayControl::Event::kStarted);
    } else {
      control.OnAnswer({ProbeAnswer::Kind::kEchoReply, kHop, 10}, now);
    }
  }
  EXPECT_LE(probes, 10);
  EXPECT_GE(probes, 9);
  const DelayStatus found = control.Status(now);
  EXPECT_EQ(found.reflector, kHop);
  EXPECT_EQ(found.hop, 2);
  EXPECT_TRUE(found.measured);
  EXPECT_EQ(found.base_ms, 10u);
  EXPECT_EQ(control.Limit(now), DelayRate::kFloor);  // draining first
  // Idle: no probes, no limit.
  in.serving_internet = false;
  EXPECT_EQ(control.Tick(in, now += 100, &event).kind, ProbeOrder::Kind::kNone);
  EXPECT_EQ(control.Limit(now), 0u);
  // A new default route: searched again, the base forgotten.
  in.serving_internet = true;
  in.gateway = kGateway + 1;
  order = control.Tick(in, now += 100, &event);
  EXPECT_EQ(event, DelayControl::Event::kRouteChanged);
  EXPECT_EQ(order.kind, ProbeOrder::Kind::kTtlLimited);
  EXPECT_EQ(order.ttl, 2);
  EXPECT_FALSE(control.Status(now).measured);
  // Nothing answers: said once, no limit, searched again a minute later.
  int said = 0;
  for (int tick = 0; tick < 400; ++tick, now += 100) {
    if (control.Tick(in, now, &event).kind != ProbeOrder::Kind::kNone &&
        control.OnAnswer(ProbeAnswer(), now) == DelayControl::Event::kNoneAnswers) {
      ++said;
    }
  }
  EXPECT_EQ(said, 1);
  EXPECT_EQ(control.Status(now).state, DelayState::kNoReflector);
  EXPECT_EQ(control.Limit(now), 0u);
  now += DelayControl::kSearchAgainMs;
  EXPECT_EQ(control.Tick(in, now, &event).kind, ProbeOrder::Kind::kTtlLimited);
  EXPECT_EQ(control.Status(now).state, DelayState::kSearching);
  // Switched off by the setting: off, with that reason.
  in.on = false;
  control.Tick(in, now, &event);
  EXPECT_EQ(control.Status(now).state, DelayState::kOff);
  EXPECT_EQ(control.Limit(now), 0u);
}

}  // namespace
