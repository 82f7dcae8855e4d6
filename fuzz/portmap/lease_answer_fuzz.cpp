// A gateway's answer to our PCP or NAT-PMP request: any bytes from the network.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "portmap/pcp_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MapRequest request;
  request.client = 0x0A000002;
  request.internal_port = 41813;
  request.external_port = 41813;
  request.lifetime = kLeaseSeconds;
  for (size_t i = 0; i < request.nonce.size(); ++i) request.nonce[i] = static_cast<uint8_t>(i);
  for (LeaseProtocol asked : {LeaseProtocol::kPcp, LeaseProtocol::kNatPmp}) {
    const Answer a = ParseAnswer(asked, request, 0x0A000001, 0x0A000001, kPcpServerPort, data, size);
    // A grant always names a port and a lifetime; a refusal always a code's name.
    if (a.kind == AnswerKind::kGranted && (a.external_port == 0 || a.lifetime == 0)) std::abort();
    if (a.kind == AnswerKind::kRefused && (a.result == 0 || a.result_name.empty())) std::abort();
    if (a.kind == AnswerKind::kFallBack && asked != LeaseProtocol::kPcp) std::abort();
    // Only the gateway's port is heard.
    if (ParseAnswer(asked, request, 0x0A000001, 0x0A000001, kPcpServerPort + 1, data, size).kind !=
        AnswerKind::kIgnored) {
      std::abort();
    }
  }
  return 0;
}
