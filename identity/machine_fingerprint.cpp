#include "identity/machine_fingerprint.h"

#include <cstring>

#include "identity/machine_facts.h"
#include "identity/seh_guard.h"

namespace {

struct FingerprintJob {
  const MachinePlatform* platform;
  uint8_t digest[16];
  bool threw;
};

void GatherAndDigest(void* context) {
  FingerprintJob& job = *static_cast<FingerprintJob*>(context);
  try {
    const MachinePlatform& platform = *job.platform;
    MachineFacts facts;
    facts.has_adapter = GetAdapterAddress(platform, facts.adapter) == 0;
    facts.has_disk_serial = GetDiskSerial(platform, facts.disk_serial);
    facts.processor = GetProcessorFeatures();
    facts.has_bios_text = GetBiosText(platform, facts.bios_text, &facts.bios_length);
    DigestMachineFacts(facts, job.digest);
  } catch (...) {
    job.threw = true;
  }
}

}  // namespace

bool ComputeMachineFingerprint(const MachinePlatform& platform, uint8_t fingerprint[16]) {
  FingerprintJob job = {&platform, {}, false};
  if (RunGuarded(GatherAndDigest, &job) && !job.threw) {
    std::memcpy(fingerprint, job.digest, sizeof(job.digest));
  } else {
    std::memset(fingerprint, 0, 16);
  }
  return true;
}

bool ComputeMachineFingerprint(uint8_t fingerprint[16]) {
  return ComputeMachineFingerprint(RealMachinePlatform(), fingerprint);
}
