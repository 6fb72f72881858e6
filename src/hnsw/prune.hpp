// The sketch bounds of a graph index, and the pruner that scores one walk's
// neighbours chunk by chunk with them: the distance memo, the record and
// code bounds, the early-abandoning kernel, and when the bounds pay.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "hnsw/scratch.hpp"
#include "metrics/metrics.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::testing {
struct Knobs;
}

namespace tarsim::hnsw {

class HNSW;

// What the bounds achieved, kept in one place for the whole index.
struct PruneStats {
  // Rows one bound was asked about lately and how many it ruled out; both
  // are halved once `asked` reaches kHistory, so old operations fade.
  struct Tally {
    std::size_t asked = 0;
    std::size_t ruled_out = 0;
  };
  static constexpr std::size_t kHistory = std::size_t{1} << 16;

  // Over the life of the index: neighbours whose scoring the bounds saved,
  // and distances an insertion took from its own earlier walks.
  std::size_t skipped = 0;
  std::size_t recalled = 0;
  // Lately, for deciding whether an operation uses the bounds (see
  // Bounds::prepare).
  Tally records;
  Tally codes;
  // The axis codes in queries and in insertions, which pay differently (see
  // Bounds::prepare).
  Tally axis;
  Tally axis_inserting;
  std::size_t operations = 0;

  Tally& axis_of(bool inserting) { return inserting ? axis_inserting : axis; }

  // A bound was asked about `asked` rows and kept `kept` of them.
  void count(Tally& tally, std::size_t asked, std::size_t kept) {
    skipped += asked - kept;
    tally.asked += asked;
    tally.ruled_out += asked - kept;
    if (tally.asked >= kHistory) {
      tally.asked /= 2;
      tally.ruled_out /= 2;
    }
  }
};

// The sketches of the stored vectors, kept up to date node by node; whether
// the layer searches use their bounds (on unless the environment variable
// TARSIM_BOUNDS is "off" when the index is made); how many neighbours are
// bounded against one worst distance; and what the bounds achieved. Every
// answer, distance and list is the same to the bit with the bounds or
// without them.
class Bounds {
 public:
  Bounds(std::uint32_t dim, metrics::Metric metric, const sketch::Config& config);

  // Brings the sketches up to date with the first n stored vectors (dim
  // values each, back to back).
  void update(const double* data, std::size_t n);
  // Readies the bounds of one operation on `query` over `count` stored
  // nodes (or turns them off); an insertion (`inserting`) also gets its
  // distance memo.
  void prepare(std::span<const double> query, bool inserting, std::size_t count,
               SearchScratch& scratch) const;
  std::size_t memory_bytes() const { return sketch_.memory_bytes(); }

 private:
  friend class ChunkPruner;
  friend class HNSW;
  friend struct ::tarsim::testing::Knobs;
  // New sketch settings; recomputes the sketches of the first n vectors.
  void reset(const sketch::Config& config, const double* data, std::size_t n);

  std::uint32_t dim_;
  metrics::Metric metric_;
  sketch::Sketch sketch_;
  bool on_;
  // Neighbours bounded against one worst distance (at least 1).
  std::size_t chunk_;
  // Written by const searches: statistics only, never read by a result.
  mutable PruneStats stats_;
};

// Scores the new neighbours of one walk's expanded nodes, through the
// operation's distance memo and, once the results are full, the bounds.
//
// The memo. A node's distance to the query is a function of the query, the
// node's stored vector, the dimension and the metric alone: no list, no
// sketch, no result takes part. Every kernel that completes a distance
// computes it with the same operations in the same order (the scoring
// kernels and the early-abandoning one, see kernel_body.hpp), so it has the
// same bits whichever computed it and whenever. None of those inputs
// changes during one operation: the query is the same span for all its
// walks, and the vectors are stored before the first walk and never written
// during one. So a distance recorded by an earlier walk of the operation is
// exactly what scoring the node again would give, and using it changes
// nothing but the work. Only completed distances are recorded: a row the
// early-abandoning kernel gives up reads +inf, which is not its distance,
// and is left out (as is a true +inf from that kernel, which is then merely
// computed again). A walk never scores a node twice (it is marked visited
// first), so the memo is only looked up when an earlier walk recorded
// something.
class ChunkPruner {
 public:
  // A chunk of `length` rows of a batch, of which the first `kept` are
  // scored, in list order, and may be admitted.
  struct Chunk {
    std::size_t length;
    std::size_t kept;
  };

  ChunkPruner(const Bounds& bounds, SearchScratch& scratch, metrics::Metric metric,
              std::span<const double> query, const double* base, std::size_t dim)
      : bounds_(bounds),
        stats_(bounds.stats_),
        scratch_(scratch),
        metric_(metric),
        query_(query),
        base_(base),
        dim_(dim),
        record_(scratch.memo_on),
        recall_(scratch.memo_on && scratch.memo_any),
        bounding_(scratch.bounding),
        coding_(scratch.coding),
        axis_coding_(scratch.axis_coding),
        inserting_(scratch.inserting),
        euclidean_(metric == metrics::Metric::Euclidean),
        chunked_(recall_ || bounding_ || coding_ || axis_coding_ || euclidean_),
        memo_stamp_(scratch.memo_stamp),
        memo_at_(scratch.memo_at.data()),
        memo_distance_(scratch.memo_distance.data()) {}

  // Scores at[0 .. n) into d, exactly, through the memo.
  [[gnu::always_inline]] inline void score_exactly(const std::uint32_t* at, std::size_t n,
                                                   double* d);

  // The next chunk of the `left` rows ids[0 .. left) of a batch while the
  // results are full and `worst` is their last distance, a number: only a
  // distance d < worst can be admitted, and worst never grows while the
  // results stay full. Rows ruled out are dropped; the kept rows and their
  // distances are moved to the front of the chunk, in list order.
  [[gnu::always_inline]] inline Chunk prune(std::uint32_t* ids, double* dist, std::size_t left,
                                            double worst);

 private:
  // The rows the bounds and the kernel work on, in list order: live of
  // them, with their distances in scored; ids[live .. listed) follow them
  // and are fetched early by the kernel.
  struct Rows {
    std::uint32_t* ids;
    double* scored;
    std::size_t live;
    std::size_t listed;
  };

  bool known(std::uint32_t id) const { return memo_at_[id] == memo_stamp_; }
  void remember(std::uint32_t id, double d) {
    memo_at_[id] = memo_stamp_;
    memo_distance_[id] = d;
  }
  [[gnu::always_inline]] inline std::size_t set_aside(const std::uint32_t* at, std::size_t n);
  template <class Survivors>
  [[gnu::always_inline]] inline void bound(Rows& rows, PruneStats::Tally& tally, Survivors survivors);
  [[gnu::always_inline]] inline void score(Rows& rows, double worst);
  [[gnu::always_inline]] inline std::size_t merge_back(std::uint32_t* ids, double* dist,
                                                       std::size_t length, const Rows& rows);

  const Bounds& bounds_;
  PruneStats& stats_;
  SearchScratch& scratch_;
  const metrics::Metric metric_;
  const std::span<const double> query_;
  const double* const base_;
  const std::size_t dim_;
  // record_: the walk records what it computes; recall_: it also looks up
  // what earlier walks of the operation recorded.
  const bool record_;
  const bool recall_;
  const bool bounding_;
  const bool coding_;
  const bool axis_coding_;
  const bool inserting_;
  const bool euclidean_;
  // Chunks are bounded_chunk rows long when anything bounds or recalls them;
  // otherwise a chunk is the rest of the batch.
  const bool chunked_;
  const std::uint32_t memo_stamp_;
  std::uint32_t* const memo_at_;
  double* const memo_distance_;
  // The worst the cached thresholds were computed for (NaN: none yet).
  double bound_ = 0.0;  // metrics::euclidean_bound(bound_of_)
  double bound_of_ = std::numeric_limits<double>::quiet_NaN();
  std::int32_t code_threshold_ = 0;  // sketch.code_threshold(code_threshold_of_)
  double code_threshold_of_ = std::numeric_limits<double>::quiet_NaN();
  // scratch.axis_thresholds hold those of axis_thresholds_of_; axis_any_:
  // whether any of them can rule a row out.
  double axis_thresholds_of_ = std::numeric_limits<double>::quiet_NaN();
  bool axis_any_ = false;
};

// Copies the ids among at[0 .. n) that the memo does not know, in order, to
// the pending rows; returns how many there are.
std::size_t ChunkPruner::set_aside(const std::uint32_t* at, std::size_t n) {
  if (scratch_.pending_ids.size() < n) {
    scratch_.pending_ids.resize(n);
    scratch_.pending_distances.resize(n);
  }
  std::uint32_t* pending = scratch_.pending_ids.data();
  std::size_t missing = 0;
  for (std::size_t z = 0; z < n; ++z) {
    if (!known(at[z])) pending[missing++] = at[z];
  }
  stats_.recalled += n - missing;
  return missing;
}

void ChunkPruner::score_exactly(const std::uint32_t* at, std::size_t n, double* d) {
  std::size_t missing = n;
  if (recall_) {
    missing = set_aside(at, n);
    if (missing < n) {
      const std::uint32_t* pending = scratch_.pending_ids.data();
      double* pd = scratch_.pending_distances.data();
      if (missing > 0) metrics::score_rows(metric_, query_, base_, dim_, pending, missing, pd);
      for (std::size_t z = 0, p = 0; z < n; ++z) {
        d[z] = known(at[z]) ? memo_distance_[at[z]] : pd[p++];
      }
    }
  }
  if (missing == n) metrics::score_rows(metric_, query_, base_, dim_, at, n, d);
  if (record_) {
    for (std::size_t z = 0; z < n; ++z) remember(at[z], d[z]);
    scratch_.memo_any = true;
  }
}

// One bound over the live rows: `survivors` keeps, in order and in place,
// those it cannot rule out. Skipping a row whose bound reaches the threshold
// of the worst at the start of the chunk changes nothing. Its computed
// distance d is proven not below that worst (the proofs are beside the
// bounds, in sketch/records.cpp, sketch/codes.cpp, sketch/axis_codes.cpp and
// sketch/axis_products.cpp), so not below any later, smaller worst either, and
// the admission test, strictly d < worst whatever the ids of a tie, would
// reject it. A rejected neighbour leaves no trace: it was marked visited and
// counted out of the unvisited nodes when the batch was gathered, and it
// enters neither the candidates nor the results. The survivors keep their
// order, so they are admitted exactly as without the bound.
template <class Survivors>
void ChunkPruner::bound(Rows& rows, PruneStats::Tally& tally, Survivors survivors) {
  const std::size_t asked = rows.live;
  rows.live = survivors(rows.ids, asked);
  rows.listed = rows.live;
  stats_.count(tally, asked, rows.live);
}

// The exact distances of the live rows. The euclidean kernel gives a
// distance up (scores it +inf) only once its partial sum of squares proves
// that it cannot end below the worst at the start of the chunk, and so not
// below any later, smaller worst either.
void ChunkPruner::score(Rows& rows, double worst) {
  if (euclidean_) {
    if (worst != bound_of_) {
      bound_ = metrics::euclidean_bound(worst);
      bound_of_ = worst;
    }
    if (rows.live > 0) {
      metrics::euclidean_rows_bounded(query_, base_, dim_, rows.ids, rows.live, rows.listed,
                                      bound_, rows.scored);
    }
  } else if (rows.live > 0) {
    metrics::score_rows(metric_, query_, base_, dim_, rows.ids, rows.live, rows.scored);
  }
}

// The chunk in list order again after the memo split it: a row that went on
// is the next of the rows in order (a batch never repeats an id), a row the
// memo knew takes its recorded distance, and a row the bounds ruled out is
// dropped, as without the memo.
std::size_t ChunkPruner::merge_back(std::uint32_t* ids, double* dist, std::size_t length,
                                    const Rows& rows) {
  std::size_t kept = 0;
  for (std::size_t z = 0, p = 0; z < length; ++z) {
    const std::uint32_t id = ids[z];
    double d;
    if (p < rows.live && rows.ids[p] == id) {
      d = rows.scored[p++];
    } else if (known(id)) {
      d = memo_distance_[id];
    } else {
      continue;
    }
    ids[kept] = id;
    dist[kept] = d;
    ++kept;
  }
  return kept;
}

// Stages, each keeping the rows in list order: the rows the memo knows are
// set aside (they skip the bounds and the kernel); the record bound, the
// code bound, then the axis codes, rule rows out against the threshold of
// `worst`; the
// kernel scores the rest; completed distances are recorded; and the chunk is
// merged back in list order when the memo split it. A threshold is NaN for
// an infinite worst, and a NaN rules nothing out.
ChunkPruner::Chunk ChunkPruner::prune(std::uint32_t* ids, double* dist, std::size_t left,
                                      double worst) {
  const std::size_t length = chunked_ ? std::min(bounds_.chunk_, left) : left;
  Rows rows{ids, dist, length, left};
  bool split = false;
  if (recall_) {
    const std::size_t missing = set_aside(ids, length);
    if (missing < length) {
      split = true;
      rows = {scratch_.pending_ids.data(), scratch_.pending_distances.data(), missing, missing};
    }
  }
  const sketch::Sketch& sketch = bounds_.sketch_;
  const sketch::Query& query = scratch_.sketched;
  if (bounding_ && rows.live > 0) {
    bound(rows, stats_.records, [&](std::uint32_t* at, std::size_t n) {
      return sketch.survivors_of(query, sketch.threshold(worst), at, n, at);
    });
  }
  if (coding_ && rows.live > 0) {
    if (worst != code_threshold_of_) {
      code_threshold_ = sketch.code_threshold(worst);
      code_threshold_of_ = worst;
    }
    bound(rows, stats_.codes, [&](std::uint32_t* at, std::size_t n) {
      return sketch.code_survivors_of(query, code_threshold_, at, n, at);
    });
  }
  if (axis_coding_ && rows.live > 0) {
    double* thresholds = scratch_.axis_thresholds.data();
    if (!(worst == axis_thresholds_of_)) {
      axis_any_ = sketch.axis_thresholds(query, worst, thresholds);
      axis_thresholds_of_ = worst;
    }
    if (axis_any_) {
      // A walk's neighbours are scattered rows, and most go on to the last
      // blocks: their blocks are read whole, without a branch on each.
      bound(rows, stats_.axis_of(inserting_), [&](std::uint32_t* at, std::size_t n) {
        return sketch.axis_survivors(query, thresholds, at, 0, n, at, nullptr, true);
      });
    }
  }
  score(rows, worst);
  if (record_ && rows.live > 0) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (std::size_t z = 0; z < rows.live; ++z) {
      if (!euclidean_ || rows.scored[z] != inf) remember(rows.ids[z], rows.scored[z]);
    }
    scratch_.memo_any = true;
  }
  return {length, split ? merge_back(ids, dist, length, rows) : rows.live};
}

}  // namespace tarsim::hnsw
