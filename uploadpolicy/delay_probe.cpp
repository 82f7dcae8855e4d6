#include "uploadpolicy/delay_probe.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

#include "common/unique_any.h"
#include "portmap/local_route.h"
#include "portmap/port_mapping_rules.h"
#include "runtime/log.h"
#include "runtime/thread.h"
#include "uploadpolicy/delay_status.h"
#include "uploadpolicy/peer_class.h"
#include "uploadpolicy/upload_book.h"
#include "uploadpolicy/upload_throttle.h"

namespace {

constexpr char kThreadName[] = "UploadDelay";
// How often the thread looks while no probe is due (idle, off, no reflector).
constexpr DWORD kLookMs = 250;
// The sending rate is measured over this much of the latest past.
constexpr DWORD kSentWindowMs = 500;

constexpr char kMsgStarted[] = "Upload delay control started: reflector %s (hop %u), target %u ms";
constexpr char kMsgFoundAgain[] = "Upload delay control found its reflector again: %s (hop %u)";
constexpr char kMsgLost[] = "Upload delay control lost its reflector %s: searching again";
constexpr char kMsgNone[] =
    "Upload delay control: no hop past the router answers ICMP; uploads go on as without it";
constexpr char kMsgRoute[] = "Upload delay control: the default route changed; searching again";
constexpr char kMsgOff[] = "Upload delay control off (%s)";
constexpr char kOffByEnvironment[] = "ZRVD_PORT_MAPPING=0: no ICMP is sent";

void CloseIcmp(HANDLE icmp) { IcmpCloseHandle(icmp); }
using unique_icmp = zrvd::unique_any<HANDLE, CloseIcmp, zrvd::InvalidHandleValue>;

struct Shared {
  std::mutex mutex;
  bool started = false;
  bool stopping = false;
  bool on = true;
  uint32_t target_ms = kDefaultDelayTargetMs;
  DelayStatus status;
  DelayHistory history;
  zrvd::unique_handle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  zrvd::unique_handle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

Shared& State() {
  static Shared shared;
  return shared;
}

std::string AddressText(uint32_t address) {
  in_addr in;
  in.s_addr = htonl(address);
  return inet_ntoa(in);
}

bool OffByEnvironment() {
  char text[8] = {};
  const DWORD length = GetEnvironmentVariableA(kPortMappingEnv, text, sizeof(text));
  return PortMappingSwitchOf(length > 0 && length < sizeof(text) ? text : nullptr, false) ==
         PortMappingSwitch::kOffByEnvironment;
}

// Bytes a second to internet peers over the latest half second.
class SentRate {
 public:
  uint64_t Now(DWORD now_ms) {
    const uint64_t total = UploadBook::Shared().Read().internet_bytes;
    m_samples.push_back({now_ms, total});
    while (m_samples.size() > 2 && now_ms - m_samples[1].at_ms >= kSentWindowMs) {
      m_samples.pop_front();
    }
    const Sample& first = m_samples.front();
    const DWORD span = now_ms - first.at_ms;
    return span == 0 ? 0 : (total - first.bytes) * 1000 / span;
  }

 private:
  struct Sample {
    DWORD at_ms;
    uint64_t bytes;
  };
  std::deque<Sample> m_samples;
};

// One probe, blocking for its answer at most the order's time-out.
ProbeAnswer Send(HANDLE icmp, const ProbeOrder& order) {
  ProbeAnswer answer;
  char data[32] = "upload delay probe";
  IP_OPTION_INFORMATION options{};
  options.Ttl = order.ttl != 0 ? order.ttl : 128;
  // Room for the reply, an error's quoted header and the data.
  unsigned char reply[sizeof(ICMP_ECHO_REPLY) + sizeof(data) + 64];
  const DWORD count = IcmpSendEcho(icmp, htonl(order.address), data, sizeof(data), &options,
                                   reply, sizeof(reply), order.timeout_ms);
  if (count == 0) return answer;
  ICMP_ECHO_REPLY echo;
  std::memcpy(&echo, reply, sizeof(echo));
  if (echo.Status == IP_SUCCESS) {
    answer.kind = ProbeAnswer::Kind::kEchoReply;
  } else if (echo.Status == IP_TTL_EXPIRED_TRANSIT) {
    answer.kind = ProbeAnswer::Kind::kTtlExpired;
  } else {
    return answer;
  }
  answer.from = ntohl(echo.Address);
  answer.rtt_ms = echo.RoundTripTime;
  return answer;
}

void LogEvent(DelayControl::Event event, const DelayStatus& status, const std::string& lost) {
  switch (event) {
    case DelayControl::Event::kStarted:
      LogInfo(kMsgStarted, AddressText(status.reflector).c_str(), status.hop, status.target_ms);
      break;
    case DelayControl::Event::kFoundAgain:
      LogInfo(kMsgFoundAgain, AddressText(status.reflector).c_str(), status.hop);
      break;
    case DelayControl::Event::kLost:
      LogInfo(kMsgLost, lost.c_str());
      break;
    case DelayControl::Event::kNoneAnswers:
      LogInfo(kMsgNone);
      break;
    case DelayControl::Event::kRouteChanged:
      LogInfo(kMsgRoute);
      break;
    case DelayControl::Event::kNothing:
      break;
  }
}

class ProbeThread : public IThreadHandler {
 public:
  void Release() override { delete this; }
  int32_t OnMessage(UINT, WPARAM, LPARAM) override { return 0; }

  int32_t Run() override {
    Shared& shared = State();
    unique_icmp icmp;
    std::string said_off;
    DWORD gateway_read = 0;
    uint32_t gateway = 0;
    for (;;) {
      DelayInputs in;
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.stopping) break;
        in.on = shared.on;
        in.target_ms = shared.target_ms;
      }
      const DWORD now = GetTickCount();
      if (OffByEnvironment()) in.off_reason = kOffByEnvironment;
      uint64_t served_at = 0;
      in.peer = LastInternetPeerServed(&served_at);
      const uint64_t steady_ms = UploadThrottle::SteadyNowUs() / 1000;
      in.serving_internet = in.peer != 0 && served_at + DelayControl::kIdleAfterMs > steady_ms;
      in.sent = m_sent.Now(now);
      // The route is read once a second: the table is not free to read.
      if (in.serving_internet && (gateway_read == 0 || now - gateway_read >= 1000)) {
        gateway = DefaultRouteNextHop();
        gateway_read = now;
      }
      in.gateway = gateway;

      DelayControl::Event event = DelayControl::Event::kNothing;
      const std::string before = AddressText(m_control.Status(now).reflector);
      ProbeOrder order = m_control.Tick(in, now, &event);
      LogEvent(event, m_control.Status(now), before);
      const std::string off = !in.on ? "UploadDelayControl = 0" : in.off_reason;
      if (off != said_off && !off.empty()) LogInfo(kMsgOff, off.c_str());
      said_off = off;

      if (order.kind != ProbeOrder::Kind::kNone && !icmp) icmp.reset(IcmpCreateFile());
      if (order.kind != ProbeOrder::Kind::kNone && icmp) {
        const std::string reflector = AddressText(m_control.Status(now).reflector);
        const ProbeAnswer answer = Send(icmp.get(), order);
        const DWORD after = GetTickCount();
        event = m_control.OnAnswer(answer, after);
        LogEvent(event, m_control.Status(after), reflector);
      }
      const DWORD at = GetTickCount();
      const DelayStatus status = m_control.Status(at);
      UploadThrottle::Internet().SetCap(m_control.Limit(at), true);
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        const bool fresh = status.measured && (status.current_ms != shared.status.current_ms ||
                                               !shared.status.measured || m_sampled != at / 1000);
        shared.status = status;
        if (fresh && (status.state == DelayState::kOpen || status.state == DelayState::kGivingWay)) {
          shared.history.Add(static_cast<int64_t>(std::time(nullptr)),
                             status.current_ms > status.base_ms ? status.current_ms - status.base_ms
                                                                : 0);
          m_sampled = at / 1000;
        }
      }
      const bool probing = order.kind != ProbeOrder::Kind::kNone ||
                           status.state == DelayState::kSearching ||
                           status.state == DelayState::kOpen ||
                           status.state == DelayState::kGivingWay;
      const DWORD spent = GetTickCount() - now;
      const DWORD every = probing ? static_cast<DWORD>(DelayControl::kProbeEveryMs) : kLookMs;
      WaitForSingleObject(shared.wake.get(), spent >= every ? 0 : every - spent);
    }
    UploadThrottle::Internet().SetCap(0);
    SetEvent(shared.done.get());
    return 0;
  }

 private:
  DelayControl m_control;
  SentRate m_sent;
  DWORD m_sampled = 0;
};

}  // namespace

void SetDelaySettings(bool on, uint32_t target_ms) {
  Shared& shared = State();
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.on = on;
  shared.target_ms = target_ms;
}

DelayStatus ReadDelayStatus() {
  Shared& shared = State();
  std::lock_guard<std::mutex> lock(shared.mutex);
  return shared.status;
}

std::vector<int64_t> ReadDelayHistory(int64_t now_s) {
  Shared& shared = State();
  std::lock_guard<std::mutex> lock(shared.mutex);
  return shared.history.Read(now_s);
}

void StartDelayProbe(IThreadManager* threads) {
  Shared& shared = State();
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.started || threads == nullptr) return;
    shared.started = true;
  }
  auto* handler = new ProbeThread;
  IThread* thread = threads->NewThread(handler, kThreadName, true, 0);
  if (thread == nullptr) {
    handler->Release();
  } else if (thread->Start() == 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.started = false;
}

void* AskDelayProbeToStop() {
  Shared& shared = State();
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (!shared.started) return nullptr;
  if (!shared.stopping) {
    shared.stopping = true;
    SetEvent(shared.wake.get());
  }
  return shared.done.get();
}
