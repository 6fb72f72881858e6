// The exhaustive index: storage, and the k best of a full scan.
#include "flat/flat.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "metrics/simd.hpp"

namespace tarsim::flat {

const char* error_name(FlatError error) {
  switch (error) {
    case FlatError::EmptyIndex:
      return "EmptyIndex";
    case FlatError::EmptyVectors:
      return "EmptyVectors";
    case FlatError::TooManyVectors:
      return "TooManyVectors";
    case FlatError::Interrupted:
      return "Interrupted";
  }
  return "Unknown";
}

Flat::Flat(std::uint32_t dim, metrics::Metric metric, std::size_t max_vectors)
    : sketch_(dim, metric, sketch::default_config()),
      bounds_(sketch::bounds_enabled()),
      dim_(dim),
      metric_(metric),
      max_vectors_(max_vectors) {}

std::optional<FlatError> Flat::add(std::span<const double> vector) {
  if (!room_for(size(), 1, max_vectors_)) return FlatError::TooManyVectors;
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  sketch_.update(vectors_.data(), size());
  return std::nullopt;
}

std::optional<FlatError> Flat::add_rows(const double* data, std::size_t rows,
                                        Interrupt* interrupt) {
  if (!room_for(size(), rows, max_vectors_)) return FlatError::TooManyVectors;
  if (dim_ == 0 || rows == 0) return std::nullopt;
  reserve(rows);
  // Whole rows per block, about one poll's worth of values each. The
  // sketches follow whatever was stored, also when a poll stops the add.
  const std::size_t block = std::max<std::size_t>(1, Interrupt::kPollWork / dim_);
  for (std::size_t done = 0; done < rows;) {
    const std::size_t count = std::min(block, rows - done);
    const double* first = data + done * dim_;
    vectors_.insert(vectors_.end(), first, first + count * dim_);
    done += count;
    if (done < rows && interrupt != nullptr && interrupt->after(count * dim_)) {
      sketch_.update(vectors_.data(), size());
      return FlatError::Interrupted;
    }
  }
  sketch_.update(vectors_.data(), size());
  return std::nullopt;
}

void Flat::reserve(std::size_t more) {
  if (dim_ == 0 || more == 0) return;
  // Only a hint: an impossible request is left for the adds to report.
  if (more > (vectors_.max_size() - vectors_.size()) / dim_) return;
  const std::size_t needed = vectors_.size() + more * dim_;
  if (needed <= vectors_.capacity()) return;
  // Grow at least geometrically so that many small batches stay amortised.
  const std::size_t doubled = vectors_.capacity() <= vectors_.max_size() / 2
                                  ? 2 * vectors_.capacity()
                                  : vectors_.max_size();
  vectors_.reserve(std::max(needed, doubled));
}

namespace {

// The ranking of hits: distance order, then id ascending. Ids are unique, so
// this is a strict total order on the hits of one search.
inline bool hit_before(const Hit& a, const Hit& b) {
  if (metrics::ranks_before(a.distance, b.distance)) return true;
  if (metrics::ranks_before(b.distance, a.distance)) return false;
  return a.id < b.id;
}

// Distances are computed in chunks of this many vectors into a small buffer.
constexpr std::size_t kChunk = 1024;
// Work of one pop of the final sort, in values read, for the interruption
// hook: about two hits per level of the heap.
constexpr std::size_t kPopWork = 32;

// Bounding a block pays while it rules out at least this share of its rows;
// once the rows bounded in a search reach kTrialRows and fewer than that
// share of them were ruled out, the search scores the rest plainly.
constexpr std::size_t kTrialRows = 4 * kChunk;
// A block with more survivors than this share is scored whole, streaming.
constexpr double kStreamShare = 0.5;

// Index of the first of d[i .. count) that ranks before `worst`, or count.
// Most distances of a scan do not enter the k best, so this is the loop every
// distance goes through.
std::size_t next_better(const double* d, std::size_t i, std::size_t count, double worst) {
  if (std::isnan(worst)) {
    // Every number ranks before a NaN.
    for (; i < count; ++i) {
      if (!std::isnan(d[i])) return i;
    }
    return count;
  }
  // With a number as the worst, ranking before it is plain "<" (false for a
  // NaN); eight at a time without a branch each.
  for (; i + 8 <= count; i += 8) {
    bool any = false;
    for (std::size_t j = 0; j < 8; ++j) any |= d[i + j] < worst;
    if (any) break;
  }
  for (; i < count; ++i) {
    if (d[i] < worst) return i;
  }
  return count;
}

}  // namespace

std::optional<FlatError> Flat::search(std::span<const double> query, std::uint32_t k,
                                      std::vector<Hit>& out, Interrupt* interrupt,
                                      ScanStats* stats) const {
  const std::size_t n = size();
  out.clear();
  if (n == 0) return FlatError::EmptyIndex;

  // Popping the full heap stops after the result that reaches k, so at least
  // one result, and never more than n.
  const std::size_t keep = std::min<std::size_t>(std::max<std::uint32_t>(k, 1), n);
  out.reserve(keep);

  // Sketch bounds, when they can be used for this query: a row whose bound
  // reaches the threshold of the worst kept distance has a computed distance
  // that does not rank before it (the proof is beside the bounds, in
  // sketch/records.cpp), so it could not enter the heap below and is not read. The
  // worst kept distance only gets better while a block is admitted, so a
  // threshold taken at the start of a block stays valid for the whole block.
  sketch::Query sketched;
  bool bounding = bounds_ && sketch_.ready() && sketch_.rows() == n;
  if (bounding) {
    sketch_.prepare(query, sketched);
    bounding = sketched.usable;
  }
  std::size_t bounded = 0;  // rows bounded so far, and how many survived
  std::size_t survived = 0;
  ScanStats seen;

  // `out` is a max-heap under hit_before holding the best `keep` hits seen so
  // far, the worst of them at the front. Vectors arrive in id order, so a new
  // hit whose distance ranks equal to the worst kept one has the larger id
  // and is worse: only a strictly better distance enters a full heap.
  std::array<double, kChunk> dist;
  std::array<std::uint32_t, kChunk> ids;
  const double* data = vectors_.data();
  const double* data_end = data + n * dim_;
  const metrics::simd::Path path = metrics::simd::best();
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t count = std::min(kChunk, n - start);
    if (interrupt != nullptr && interrupt->after(count * dim_)) {
      out.clear();
      return FlatError::Interrupted;
    }
    if (bounding && out.size() == keep) {
      const double threshold = sketch_.threshold(out.front().distance);
      if (!std::isnan(threshold)) {
        const std::size_t live = sketch_.survivors(sketched, threshold, start, count, ids.data());
        bounded += count;
        survived += live;
        seen.sketched += count;
        if (bounded >= kTrialRows && static_cast<double>(survived) > kStreamShare * bounded) {
          bounding = false;  // the bounds rule out too little on this data
        }
        if (static_cast<double>(live) <= kStreamShare * count) {
          metrics::simd::score_rows(path, metric_, query, data, dim_, ids.data(), live,
                                    dist.data());
          seen.scored += live;
          std::size_t i = 0;
          while ((i = next_better(dist.data(), i, live, out.front().distance)) < live) {
            std::pop_heap(out.begin(), out.end(), hit_before);
            out.back() = Hit{ids[i], dist[i]};
            std::push_heap(out.begin(), out.end(), hit_before);
            ++i;
          }
          continue;
        }
        // Most rows survive: scoring the whole block streams faster, and
        // gives the same distances.
      }
    }
    // One scan in pieces: each piece may already fetch the next one.
    metrics::simd::score_block(path, metric_, query, data + start * dim_, dim_, count,
                               dist.data(), data_end);
    seen.scored += count;
    std::size_t i = 0;
    // Filling: every hit enters until `keep` are held.
    for (; i < count && out.size() < keep; ++i) {
      out.push_back(Hit{static_cast<std::uint32_t>(start + i), dist[i]});
      std::push_heap(out.begin(), out.end(), hit_before);
    }
    if (i == count) continue;
    while ((i = next_better(dist.data(), i, count, out.front().distance)) < count) {
      std::pop_heap(out.begin(), out.end(), hit_before);
      out.back() = Hit{static_cast<std::uint32_t>(start + i), dist[i]};
      std::push_heap(out.begin(), out.end(), hit_before);
      ++i;
    }
  }
  if (stats != nullptr) *stats = seen;
  // std::sort_heap one pop at a time, so that sorting a large k polls too.
  // hit_before is a strict total order, so the sorted hits are the same
  // however they are sorted.
  for (auto end = out.end(); end - out.begin() > 1; --end) {
    std::pop_heap(out.begin(), end, hit_before);
    if (interrupt != nullptr && interrupt->after(kPopWork)) {
      out.clear();
      return FlatError::Interrupted;
    }
  }
  return std::nullopt;
}

}  // namespace tarsim::flat
