#include "hnsw/runs.hpp"

#include <algorithm>

namespace tarsim::hnsw {

void LevelRuns::reserve_for(std::uint32_t level) {
  if (!std::binary_search(levels_.begin(), levels_.end(), level)) {
    levels_.reserve(levels_.size() + 1);
  }
}

void LevelRuns::add(std::uint32_t level) noexcept {
  const auto at = std::lower_bound(levels_.begin(), levels_.end(), level);
  // Within the capacity reserve_for made, so nothing is allocated.
  if (at == levels_.end() || *at != level) levels_.insert(at, level);
}

std::uint32_t LevelRuns::top_of_run(std::uint32_t layer) const {
  const auto at = std::lower_bound(levels_.begin(), levels_.end(), layer);
  return at == levels_.end() ? layer : *at;
}

std::uint32_t LevelRuns::bottom_of_run(std::uint32_t layer) const {
  const auto at = std::lower_bound(levels_.begin(), levels_.end(), layer);
  return at == levels_.begin() ? 0 : *(at - 1) + 1;
}

}  // namespace tarsim::hnsw
