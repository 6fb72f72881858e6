// Ids of stored vectors: unsigned 32-bit positions in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tarsim {

// The most vectors an index holds. Ids run from 0 to kMaxVectors - 1, so
// every id and the count itself fit in 32 bits.
inline constexpr std::size_t kMaxVectors = std::numeric_limits<std::uint32_t>::max();

// Whether `more` vectors can be added to `stored` ones under `limit`.
constexpr bool room_for(std::size_t stored, std::size_t more,
                        std::size_t limit = kMaxVectors) {
  return stored <= limit && more <= limit - stored;
}

}  // namespace tarsim
