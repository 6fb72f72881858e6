#include "hnsw/order.hpp"

#include "metrics/metrics.hpp"

namespace tarsim::hnsw {

std::size_t result_position(std::span<const Scored> results, double distance) {
  if (results.empty()) return 0;
  std::size_t base = 0;
  std::size_t size = results.size();
  if (!std::isnan(distance)) {
    // The same steps for a number d without the NaN tests, so that they
    // compile to conditional moves: ranks_before(d, x) is !(x <= d), a NaN x
    // included, and ranks_before(x, d) is x < d.
    while (size > 1) {
      const std::size_t half = size / 2;
      const std::size_t mid = base + half;
      base = results[mid].distance <= distance ? mid : base;
      size -= half;
    }
    return results[base].distance < distance ? base + 1 : base;
  }
  while (size > 1) {
    std::size_t half = size / 2;
    std::size_t mid = base + half;
    if (!metrics::ranks_before(distance, results[mid].distance)) base = mid;
    size -= half;
  }
  return metrics::ranks_before(results[base].distance, distance) ? base + 1 : base;
}

}  // namespace tarsim::hnsw
