#include "identity/adapter_score.h"

#include <cstring>

int ScoreAdapterAddress(const uint8_t address[kAdapterAddressSize]) {
  static const uint8_t kVirtualHost[5] = {0x00, 0x50, 0x56, 0xC0, 0x00};
  static const uint8_t kDialUpDest[5] = {'D', 'E', 'S', 'T', 0x00};
  static const uint8_t kZero[6] = {};
  static const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

  if (std::memcmp(address, kVirtualHost, 5) == 0) return -2;
  if (std::memcmp(address, kDialUpDest, 5) == 0) return -2;
  if (address[3] == 'R' && address[4] == 'A' && address[5] == 'S') return -2;
  if (std::memcmp(address, kZero, 6) == 0) return -3;
  if (std::memcmp(address, kBroadcast, 6) == 0) return -3;
  if (address[0] == 0x00 && address[1] == 0xFF) return -1;
  return 0;
}

void WalkAdapterAddresses(const uint8_t* list, size_t count, int* best,
                          uint8_t chosen[kAdapterAddressSize]) {
  for (size_t i = 0; i < count && *best < 0; ++i) {
    const uint8_t* address = list + i * kAdapterAddressSize;
    const int score = ScoreAdapterAddress(address);
    if (score > *best) {
      std::memcpy(chosen, address, kAdapterAddressSize);
      *best = score;
    }
  }
}
