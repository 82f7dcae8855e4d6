// Which answer gives way to a new connection at the connection bound when no
// connection is idle: peers that each take just over the minimum rate must not
// hold every connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// `taken` holds, for each answer judged over a whole window of sending time,
// the bytes it took in that window. Returns the index of the one that took the
// fewest, if that is fewer than `below`; -1 when none did. A tie goes to the
// first.
ptrdiff_t SlowestAnswerBelow(const std::vector<uint64_t>& taken, uint64_t below);
