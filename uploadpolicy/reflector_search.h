// Where the probes go: a reflector just past the player's router, whose round
// trip crosses the uplink's queue. Found with TTL-limited probes toward an
// internet peer being served (TTL 2, 3, ...: the router itself answers from
// before the queue); then probed with plain echo requests to its own address,
// since routers answer few "TTL expired" a second, or with TTL-limited probes
// again if it does not answer echo. Found again when the default route changes
// or it stops answering.
#pragma once

#include <cstdint>

// Addresses in host byte order; times milliseconds from any start.
struct ProbeOrder {
  enum class Kind { kNone, kTtlLimited, kEcho };
  Kind kind = Kind::kNone;
  uint32_t address = 0;
  uint8_t ttl = 0;  // 0: the system's default
  uint32_t timeout_ms = 0;
};

struct ProbeAnswer {
  enum class Kind { kNone, kEchoReply, kTtlExpired };  // kNone: no answer in time
  Kind kind = Kind::kNone;
  uint32_t from = 0;
  uint32_t rtt_ms = 0;
};

class ReflectorSearch {
 public:
  static constexpr uint8_t kFirstTtl = 2;
  static constexpr uint8_t kLastTtl = 8;
  static constexpr int kTriesPerStep = 2;
  // A probe's answer may wait behind a deep queue: not given up sooner.
  static constexpr uint32_t kTimeoutMs = 2000;
  // Lost after this long without an answer (and a few probes unanswered):
  // TTL-limited probes get about one answer a second.
  static constexpr uint64_t kLostAfterMs = 5000;
  static constexpr int kLostMisses = 3;

  enum class Phase { kSearching, kCheckingEcho, kFound, kNone };
  // What an answer changed, for the log.
  enum class Event { kNothing, kFound, kNoneAnswers, kLost };

  // Begins a search toward `peer` (an internet peer being served).
  void Begin(uint32_t peer, uint64_t now_ms);
  ProbeOrder Next() const;
  Event OnAnswer(const ProbeAnswer& answer, uint64_t now_ms);

  Phase phase() const { return m_phase; }
  uint32_t reflector() const { return m_reflector; }
  uint8_t hop() const { return m_hop; }
  // In kFound: whether `answer` is a measurement of the reflector.
  bool Measures(const ProbeAnswer& answer) const;

 private:
  Phase m_phase = Phase::kNone;
  uint32_t m_peer = 0;
  uint8_t m_ttl = kFirstTtl;
  int m_tries = 0;
  uint32_t m_reflector = 0;
  uint8_t m_hop = 0;
  bool m_echo = false;  // the reflector answers echo to its own address
  uint64_t m_lastAnswerMs = 0;
  int m_misses = 0;
};
