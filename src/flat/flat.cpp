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

namespace {

sketch::Config flat_config() {
  sketch::Config config = sketch::default_config();
  config.axis_codes = true;
  return config;
}

}  // namespace

Flat::Flat(std::uint32_t dim, metrics::Metric metric, std::size_t max_vectors)
    : sketch_(dim, metric, flat_config()),
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

// Distances are computed in chunks of at most this many vectors into a
// small buffer.
constexpr std::size_t kChunk = 1024;
// Work of one pop of the final sort, in values read, for the interruption
// hook: about two hits per level of the heap.
constexpr std::size_t kPopWork = 32;
// Once the heap is full, the pieces bounded against one worst distance
// start this short and double up to kChunk: the worst is loose at first
// and improves fastest while few rows have been seen.
constexpr std::size_t kFirstBounded = 64;

// A stage of bounds pays while it rules out at least its share of the rows
// it is asked about; once it has been asked about kTrialRows and rules out
// less, the search leaves it out for the rest of its rows. The axis codes
// read a block of 64 bytes for most rows, an eighth of what scoring a
// 64-value row reads; the records read as much for a weaker bound.
constexpr std::size_t kTrialRows = 4 * kChunk;
// A piece with more survivors than this share is scored whole, streaming.
constexpr double kStreamShare = 0.5;

// What one stage of bounds ruled out so far in a search.
struct Tally {
  std::size_t asked = 0;
  std::size_t ruled_out = 0;
  bool on = false;
  // Counts a call, and leaves the stage out once it has had its trial and
  // rules out fewer than one in `share_of` of the rows it is asked about.
  void add(std::size_t count, std::size_t live, std::size_t share_of) {
    asked += count;
    ruled_out += count - live;
    if (asked >= kTrialRows && ruled_out * share_of < asked) on = false;
  }
};

// One search's stages of bounds, in the order they run: the records, then
// the axis codes of the rows the records left. The records cost a 64-byte
// read per row and settle most rows on data of a few dominant directions,
// where the codes would read several blocks per row for the same answer;
// elsewhere they rule out too little, leave the search, and the codes take
// every row.
struct Stages {
  std::span<const double> vector;  // the query
  sketch::Query query;
  bool axis_prepared = false;      // the query's axis codes are made at first use
  std::vector<double> thresholds;  // the axis codes', one per block
  Tally records;
  Tally codes;
};

// The rows among [start, start + count) that the stages on do not rule out
// against `worst`, written to ids; returns how many, or count + 1 when no
// stage ran (then ids is not written).
std::size_t prune(const sketch::Sketch& sketch, Stages& stages, double worst, std::size_t start,
                  std::size_t count, std::uint32_t* ids, ScanStats& seen) {
  std::size_t live = count + 1;
  if (stages.records.on) {
    const double threshold = sketch.threshold(worst);
    if (!std::isnan(threshold)) {
      live = sketch.survivors(stages.query, threshold, start, count, ids);
      seen.sketched += count;
      stages.records.add(count, live, 2);
    }
  }
  if (stages.codes.on && live != 0 && !stages.axis_prepared) {
    sketch.prepare_axis(stages.vector, stages.query);
    stages.axis_prepared = true;
    stages.codes.on = stages.query.axis.usable;
  }
  if (stages.codes.on && live != 0 &&
      sketch.axis_thresholds(stages.query, worst, stages.thresholds.data())) {
    const bool listed = live <= count;
    const std::size_t asked = listed ? live : count;
    live = sketch.axis_survivors(stages.query, stages.thresholds.data(),
                                 listed ? ids : nullptr, start, asked, ids, &seen.code_blocks);
    seen.coded += asked;
    stages.codes.add(asked, live, 4);
  }
  return live;
}

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

// The worst kept hit at the front of the full heap `out` is replaced by each
// of hits (ids[i], dist[i]) that ranks before it, in turn. Vectors arrive
// in id order, so a new hit whose distance ranks equal to the worst kept one
// has the larger id and is worse: only a strictly better distance enters.
template <class IdOf>
void admit(std::vector<Hit>& out, const double* dist, std::size_t count, IdOf id_of) {
  std::size_t i = 0;
  while ((i = next_better(dist, i, count, out.front().distance)) < count) {
    std::pop_heap(out.begin(), out.end(), hit_before);
    out.back() = Hit{id_of(i), dist[i]};
    std::push_heap(out.begin(), out.end(), hit_before);
    ++i;
  }
}

// Stages of bounds, when they can be used for this query: a row that a
// stage rules out against the worst kept distance has a computed distance
// that does not rank before it (the proofs are beside the bounds, in
// sketch/axis_codes.cpp and sketch/records.cpp), so it could not enter the
// heap and is not read. The worst kept distance only gets better while a
// piece is admitted, so a worst taken at the start of a piece stays valid
// for the whole piece.
void start_stages(const sketch::Sketch& sketch, std::size_t n, std::span<const double> query,
                  Stages& stages) {
  const bool codes = sketch.axis_coding() && sketch.axis_rows() == n;
  const bool records = sketch.ready() && sketch.rows() == n;
  stages.vector = query;
  if (records) sketch.prepare(query, stages.query);
  stages.records.on = records && stages.query.usable;
  stages.codes.on = codes;
  stages.thresholds.resize(sketch.axis_blocks());
}

// How many rows the piece at `start` takes: while the heap fills, no more
// than it lacks; once it is full, pieces start kFirstBounded short and
// double up to kChunk.
std::size_t piece_rows(bool full, std::size_t keep, std::size_t held, std::size_t start,
                       std::size_t n) {
  return full ? std::min({kChunk, n - start, std::max(kFirstBounded, start)})
              : std::min(kChunk, std::min(keep - held, n - start));
}

// The scoring of one search's pieces into dist, each scored row counted.
struct Scorer {
  metrics::simd::Path path;
  metrics::Metric metric;
  std::span<const double> query;
  const double* data;
  std::size_t dim;
  const double* data_end;
  double* dist;
  ScanStats& seen;

  // Rows ids[0 .. count), gathered by id.
  void rows(const std::uint32_t* ids, std::size_t count) const {
    metrics::simd::score_rows(path, metric, query, data, dim, ids, count, dist);
    seen.scored += count;
  }
  // Rows start .. start + count: one scan in pieces, each piece may already
  // fetch the next one.
  void block(std::size_t start, std::size_t count) const {
    metrics::simd::score_block(path, metric, query, data + start * dim, dim, count, dist,
                               data_end);
    seen.scored += count;
  }
};

// Filling: every hit of the piece at `start` enters, and the heap is full
// after it.
void fill(std::vector<Hit>& out, const double* dist, std::size_t start, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(Hit{static_cast<std::uint32_t>(start + i), dist[i]});
    std::push_heap(out.begin(), out.end(), hit_before);
  }
}

// The heap `out` sorted best first: std::sort_heap one pop at a time, so
// that sorting a large k polls too. hit_before is a strict total order, so
// the sorted hits are the same however they are sorted. False, with out
// cleared, when a poll stops it.
bool sort_hits(std::vector<Hit>& out, Interrupt* interrupt) {
  for (auto end = out.end(); end - out.begin() > 1; --end) {
    std::pop_heap(out.begin(), end, hit_before);
    if (interrupt != nullptr && interrupt->after(kPopWork)) {
      out.clear();
      return false;
    }
  }
  return true;
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
  Stages stages;
  if (bounds_) start_stages(sketch_, n, query, stages);
  ScanStats seen;

  // `out` is a max-heap under hit_before holding the best `keep` hits seen so
  // far, the worst of them at the front.
  std::array<double, kChunk> dist;
  std::array<std::uint32_t, kChunk> ids;
  const double* data = vectors_.data();
  const Scorer score{metrics::simd::best(), metric_, query, data, dim_, data + n * dim_,
                     dist.data(), seen};
  for (std::size_t start = 0, count = 0; start < n; start += count) {
    const bool full = out.size() == keep;
    count = piece_rows(full, keep, out.size(), start, n);
    if (interrupt != nullptr && interrupt->after(count * dim_)) {
      out.clear();
      return FlatError::Interrupted;
    }
    if (full) {
      const std::size_t live =
          prune(sketch_, stages, out.front().distance, start, count, ids.data(), seen);
      if (static_cast<double>(live) <= kStreamShare * count) {
        score.rows(ids.data(), live);
        admit(out, dist.data(), live, [&](std::size_t i) { return ids[i]; });
        continue;
      }
      // Most rows survive (or no stage ran): scoring the whole piece streams
      // faster, and gives the same distances.
    }
    score.block(start, count);
    if (!full) {
      fill(out, dist.data(), start, count);
      continue;
    }
    admit(out, dist.data(), count,
          [start](std::size_t i) { return static_cast<std::uint32_t>(start + i); });
  }
  if (stats != nullptr) *stats = seen;
  if (!sort_hits(out, interrupt)) return FlatError::Interrupted;
  return std::nullopt;
}

}  // namespace tarsim::flat
