#include "hnsw/scratch.hpp"

#include <algorithm>

namespace tarsim::hnsw {

namespace {

std::size_t axis_bytes(const sketch::axis::Prepared& axis) {
  return axis.codes.capacity() + axis.weights.capacity() * sizeof(std::int16_t) +
         (axis.units.capacity() + axis.terms.capacity() + axis.sizes.capacity()) * sizeof(double);
}

}  // namespace

std::uint8_t SearchScratch::next_visit_stamp(std::size_t count) {
  // Stamps of nodes added since the set was last used start at 0, which no
  // walk uses.
  if (visit_stamps.size() < count) visit_stamps.resize(count, 0);
  if (++visit_stamp == 0) {
    std::fill(visit_stamps.begin(), visit_stamps.end(), 0);
    std::fill(filter_stamps.begin(), filter_stamps.end(), 0);
    visit_stamp = 1;
  }
  return visit_stamp;
}

void SearchScratch::start_memo(std::size_t count) {
  // Entries of an earlier operation, and of nodes added since the memo was
  // last used (0), never match the new stamp.
  if (memo_at.size() < count) {
    memo_at.resize(count, 0);
    memo_distance.resize(count);
  }
  if (++memo_stamp == 0) {
    std::fill(memo_at.begin(), memo_at.end(), 0);
    memo_stamp = 1;
  }
}

std::size_t SearchScratch::memory_bytes() const {
  return sizeof(SearchScratch) + held_ + sketched.record.capacity() * sizeof(double) +
         sketched.codes.capacity() * sizeof(std::int8_t) + axis_bytes(sketched.axis) +
         axis_thresholds.capacity() * sizeof(double);
}

std::size_t ScratchPool::memory_bytes() const {
  std::size_t bytes = idle_.capacity() * sizeof(idle_[0]);
  for (const auto& scratch : idle_) bytes += scratch->memory_bytes();
  return bytes;
}

ScratchLease::ScratchLease(ScratchPool& pool) : pool_(pool) {
  if (!pool_.idle_.empty()) {
    scratch_ = std::move(pool_.idle_.back());
    pool_.idle_.pop_back();
    return;
  }
  pool_.idle_.reserve(pool_.made_ + 1);
  scratch_ = std::make_unique<SearchScratch>();
  ++pool_.made_;
}

ScratchLease::~ScratchLease() {
  // Within the capacity reserved when the set was made.
  pool_.idle_.push_back(std::move(scratch_));
}

}  // namespace tarsim::hnsw
