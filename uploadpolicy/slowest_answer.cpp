#include "uploadpolicy/slowest_answer.h"

ptrdiff_t SlowestAnswerBelow(const std::vector<uint64_t>& taken, uint64_t below) {
  ptrdiff_t slowest = -1;
  for (size_t i = 0; i < taken.size(); ++i) {
    if (taken[i] < below && (slowest < 0 || taken[i] < taken[static_cast<size_t>(slowest)])) {
      slowest = static_cast<ptrdiff_t>(i);
    }
  }
  return slowest;
}
