// The block driver and every scanning kernel, written once over a lanes type.
//
// A kernels_<set>.cpp includes metrics/kernels.hpp, selects its target,
// defines its lanes type and then includes this file, and fills its table
// with table_of<Lanes, Tuning{...}>(). A lanes type provides
//   V, W                     vector type and its number of double lanes
//   zero, set1, load, load_part(p, cnt), add, sub, mul, div, sqrt, abs, store
//   max(a, b)                a > b ? a : b, lane by lane
//   transpose(V (&t)[W])     rows of a W x W tile become its columns
//   none_below(acc, limit)   no lane of acc is below limit (NaN is not below)
//   all_at_most(a, limit)    every lane of a is at most limit (NaN is not)
//   code_block(q, x)         the sum over 64 codes of max(0, |q[k] - x[k]| - 1)^2
//   x86_nans                 whether a NaN result already has x86's bits
// with W at most 8 and dividing 8. Where x86_nans is false, every kernel
// recomputes a NaN result with x86's rules (to_x86_nans below, proved in
// x86_nans.hpp), so that every path of every processor gives the same bits.
//
// Lane r of a group holds stored vector r of that group and nothing else. A
// tile of W positions of the W vectors is loaded row by row and transposed, so
// column c holds position j + c of every vector; the columns are then added
// to the per-lane accumulators in position order. Each lane therefore performs
// exactly the operations of the scalar function, in the same order: the
// speed comes from running W * G independent sums side by side, never from
// changing one. No fused multiply-add is ever formed (the build disables
// contraction and the intrinsics used are separate multiply and add).
//
// A further kernel is one more function template here, named as its entry in
// kernel_list.hpp, which puts it in the table.
//
// Everything here has internal linkage so that the per-target copies of the
// different files never meet at link time.
#pragma once

#ifndef TARSIM_KERNEL_HEADERS_READY
#error "include metrics/kernels.hpp first"
#endif

namespace tarsim::metrics::kernels {
namespace {

// How a set's kernels use its lanes.
struct Tuning {
  std::size_t score_groups;    // groups of W vectors the scoring kernels keep in flight
  std::size_t bounded_groups;  // the same for the early-abandoning kernel
  bool bounded_prefetch;       // whether that kernel requests the next block's rows
};

// The type every kernel below is written over: the lanes and their tuning.
template <class Lanes, Tuning T>
struct Tuned : Lanes {
  static constexpr std::size_t score_groups = T.score_groups;
  static constexpr std::size_t bounded_groups = T.bounded_groups;
  static constexpr bool bounded_prefetch = T.bounded_prefetch;
};

// The kernels with x86's NaN rules, one row at a time.
using X86 =
    Tuned<X86Lanes, Tuning{.score_groups = 1, .bounded_groups = 1, .bounded_prefetch = false}>;

// The scalar arithmetic of a lanes type: its own when it has one lane, else
// the scalar lanes (whose NaNs are recomputed with the rest where needed).
template <class I>
using ScalarOf = std::conditional_t<I::W == 1, I, ScalarLanes>;

// Replaces each NaN among out[0 .. count) by x86_value(i), its value with
// x86's rules (x86_nans.hpp proves the result x86's, bit for bit). Only for
// lanes whose NaNs are not x86's.
template <class X86Value>
inline void to_x86_nans(double* out, std::size_t count, X86Value x86_value) {
  for (std::size_t i = 0; i < count; ++i) {
    if (std::isnan(out[i])) out[i] = x86_value(i);
  }
}

// How far past the block being scored contiguous data is requested.
constexpr std::size_t kAheadBytes = 32768;
// Positions summed between two tests of the early-abandoning partial sums.
constexpr std::size_t kTestEvery = 8;

// Read hints: into the second-level cache (data of a later block) and into
// the first (rows of the very next block).
inline void prefetch_l2(const void* p) { __builtin_prefetch(p, 0, 2); }
inline void prefetch_l1(const void* p) { __builtin_prefetch(p, 0, 3); }

// ---------------------------------------------------------------- tiles

// qb[c] = query position at + c in every lane, zero from cnt on.
template <class I>
[[gnu::always_inline]] inline void load_query(const double* q, std::size_t at, std::size_t cnt,
                                              typename I::V (&qb)[I::W]) {
#pragma GCC unroll 16
  for (std::size_t c = 0; c < I::W; ++c) qb[c] = c < cnt ? I::set1(q[at + c]) : I::zero();
}

// t[c] = position at + c of rows[0 .. W), lane r from rows[r]; positions
// from cnt on are zero and are never read from memory.
template <class I>
[[gnu::always_inline]] inline void load_tile(const double* const* rows, std::size_t at,
                                             std::size_t cnt, typename I::V (&t)[I::W]) {
  constexpr std::size_t W = I::W;
  if (cnt == W) {
#pragma GCC unroll 16
    for (std::size_t r = 0; r < W; ++r) t[r] = I::load(rows[r] + at);
  } else {
#pragma GCC unroll 16
    for (std::size_t r = 0; r < W; ++r) t[r] = I::load_part(rows[r] + at, cnt);
  }
  I::transpose(t);
}

// ---------------------------------------------------------------- driver

// One call of a kernel's block function: G groups of W rows; `whole` is
// false for the short blocks at the end.
template <std::size_t G, bool Whole>
struct Part {
  static constexpr std::size_t groups = G;
  static constexpr bool whole = Whole;
};

// The block driver of every kernel. Rows 0 .. count (row i at row_at(i))
// go in blocks of G * W:
//   block(Part<G, true>{}, i, rows, next, out + i)
// scores rows i .. i + G * W, rows[g * W + r] being lane r of group g; next
// holds the rows of the following block, or is null when fewer than G * W
// rows follow before `listed` (rows count .. listed being the ones the caller
// scores next), so that a kernel can request them while it works. The rows
// are gathered twice-buffered: the next block's pointers are the ones the
// current block requested. The last fewer than G * W rows go one group at a
// time (Part<1, false>, next null); lanes past the end repeat the last row
// and their results are dropped.
template <class I, std::size_t G, class RowAt, class Block>
inline void for_each_block(std::size_t count, std::size_t listed, RowAt row_at, double* out,
                           Block block) {
  constexpr std::size_t W = I::W;
  constexpr std::size_t L = G * W;
  std::size_t i = 0;
  if (count >= L) {
    const double* rows[2][L];
    int cur = 0;
    for (std::size_t r = 0; r < L; ++r) rows[cur][r] = row_at(r);
    const std::size_t until = std::max(count, listed);
    for (; i + L <= count; i += L) {
      const bool more = i + 2 * L <= until;
      if (more) {
        for (std::size_t r = 0; r < L; ++r) rows[cur ^ 1][r] = row_at(i + L + r);
      }
      block(Part<G, true>{}, i, rows[cur], more ? rows[cur ^ 1] : nullptr, out + i);
      cur ^= 1;
    }
  }
  for (; i < count; i += W) {
    const std::size_t lanes = std::min(W, count - i);
    const double* part[W];
    for (std::size_t r = 0; r < W; ++r) part[r] = row_at(i + std::min(r, lanes - 1));
    double tmp[W];
    block(Part<1, false>{}, i, part, nullptr, tmp);
    for (std::size_t r = 0; r < lanes; ++r) out[i + r] = tmp[r];
  }
}

// ---------------------------------------------------------------- scoring

// Sequential sum of squares of a whole vector: the query norm of the cosine.
template <class S>
inline double sum_of_squares(Vec v) {
  double sum = 0.0;
  for (double x : v) sum = S::add(sum, S::mul(x, x));
  return sum;
}

// What to fetch ahead while a block is scored. The data of the blocks that
// follow is requested a little at a time, one share per tile, so that it is
// on its way long before it is read.
struct Ahead {
  // Contiguous data: `per_tile` cache lines from `from`, never at or past `end`.
  const char* from = nullptr;
  const char* end = nullptr;
  std::size_t per_tile = 0;
  // Rows gathered by id: line j of each of these rows at tile j.
  const double* const* rows = nullptr;
  std::size_t count = 0;
};

// Adds one tile of `cnt` positions starting at j of rows[0 .. G*W) to the
// per-lane sums of its G groups: acc the metric's sum (squared differences
// or products), nrm the stored vector's own sum of squares (cosine only).
// `both` says whether the query takes part (positions < n) or only the
// stored norm does (cosine, n..dim).
template <class I, Metric M, std::size_t G>
[[gnu::always_inline]] inline void score_tile(const double* q, const double* const* rows,
                                              std::size_t j, std::size_t cnt, bool both,
                                              typename I::V (&acc)[G], typename I::V (&nrm)[G]) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  V qb[W];
  if (both) load_query<I>(q, j, cnt, qb);
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    V t[W];
    load_tile<I>(rows + g * W, j, cnt, t);
#pragma GCC unroll 16
    for (std::size_t c = 0; c < W; ++c) {
      if (c >= cnt) break;
      if (!both) {
        nrm[g] = I::add(nrm[g], I::mul(t[c], t[c]));
      } else if constexpr (M == Metric::Euclidean) {
        V d = I::sub(qb[c], t[c]);
        acc[g] = I::add(acc[g], I::mul(d, d));
      } else if constexpr (M == Metric::InnerProduct) {
        acc[g] = I::add(acc[g], I::mul(qb[c], t[c]));
      } else {
        acc[g] = I::add(acc[g], I::mul(qb[c], t[c]));
        nrm[g] = I::add(nrm[g], I::mul(t[c], t[c]));
      }
    }
  }
}

// The G groups' results from their sums, stored to out.
template <class I, Metric M, std::size_t G>
[[gnu::always_inline]] inline void store_scores(const typename I::V (&acc)[G],
                                                const typename I::V (&nrm)[G], double sqrt_a,
                                                double* out) {
  constexpr std::size_t W = I::W;
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    typename I::V result;
    if constexpr (M == Metric::Euclidean) {
      result = I::sqrt(acc[g]);
    } else if constexpr (M == Metric::InnerProduct) {
      result = acc[g];
    } else {
      result = I::div(acc[g], I::mul(I::set1(sqrt_a), I::sqrt(nrm[g])));
    }
    I::store(out + g * W, result);
  }
}

// Scores G * W stored vectors (rows[0 .. G*W)) against the query.
//   n      positions compared (min of query length and dim)
//   sqrt_a square root of the query's sum of squares (cosine only)
template <class I, Metric M, std::size_t G>
inline void score_groups(const double* q, std::size_t n, std::size_t dim, double sqrt_a,
                         const double* const* rows, Ahead ahead, double* out) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  V acc[G];
  V nrm[G];  // cosine: the stored vector's own sum of squares
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    acc[g] = I::zero();
    nrm[g] = I::zero();
  }

  std::size_t j = 0;
  for (; j + W <= n; j += W) {
    for (std::size_t l = 0; l < ahead.per_tile && ahead.from < ahead.end; ++l) {
      prefetch_l2(ahead.from);
      ahead.from += 64;
    }
    if (j % 8 == 0) {
      for (std::size_t r = 0; r < ahead.count; ++r) prefetch_l2(ahead.rows[r] + j);
    }
    score_tile<I, M, G>(q, rows, j, W, true, acc, nrm);
  }
  if (j < n) score_tile<I, M, G>(q, rows, j, n - j, true, acc, nrm);

  if constexpr (M == Metric::Cosine) {
    // The stored vector is longer than the query: its norm goes on alone.
    j = n;
    for (; j + W <= dim; j += W) score_tile<I, M, G>(q, rows, j, W, false, acc, nrm);
    if (j < dim) score_tile<I, M, G>(q, rows, j, dim - j, false, acc, nrm);
  }
  store_scores<I, M, G>(acc, nrm, sqrt_a, out);
}

template <class I>
void score_block(Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out, const double* ahead_end);

// Scores `count` stored vectors: vector i starts at base + i * dim when ids is
// null (contiguous), at base + ids[i] * dim otherwise. Contiguous data is
// requested in address order up to ahead_end; gathered rows a block ahead.
template <class I, Metric M>
inline void score_all(Vec query, const double* base, std::size_t dim, const std::uint32_t* ids,
                      std::size_t count, double* out, const double* ahead_end) {
  constexpr std::size_t W = I::W;
  constexpr std::size_t G = I::score_groups;
  constexpr std::size_t L = G * W;
  auto row_at = [base, dim, ids](std::size_t i) {
    return base + (ids ? std::size_t{ids[i]} : i) * dim;
  };

  const double* q = query.data();
  const std::size_t n = std::min(query.size(), dim);
  double sqrt_a = 0.0;
  if constexpr (M == Metric::Cosine) {
    using S = ScalarOf<I>;
    sqrt_a = S::sqrt(sum_of_squares<S>(query));
  }

  // Contiguous data: one block's worth of lines over the block's tiles.
  Ahead stream;
  const std::size_t tiles = n / W;
  if (ids == nullptr && tiles > 0) {
    const std::size_t lines = (L * dim * sizeof(double) + 63) / 64;
    stream.per_tile = (lines + tiles - 1) / tiles;
    stream.end = reinterpret_cast<const char*>(ahead_end);
  }
  for_each_block<I, G>(count, count, row_at, out, [&](auto part, std::size_t i,
                                                      const double* const* rows,
                                                      const double* const* next, double* to) {
    Ahead ahead;
    if constexpr (decltype(part)::whole) {
      if (ids == nullptr) {
        ahead = stream;
        if (ahead.per_tile > 0) {
          const char* from = reinterpret_cast<const char*>(base + i * dim);
          const std::size_t left = static_cast<std::size_t>(ahead.end - from);
          ahead.from = left > kAheadBytes ? from + kAheadBytes : ahead.end;
        }
      } else {
        ahead.rows = next;
        ahead.count = next != nullptr ? L : 0;
      }
    }
    score_groups<I, M, decltype(part)::groups>(q, n, dim, sqrt_a, rows, ahead, to);
  });
  if constexpr (!I::x86_nans) {
    to_x86_nans(out, count, [&](std::size_t i) {
      double value;
      score_block<X86>(M, query, row_at(i), dim, 1, &value, nullptr);
      return value;
    });
  }
}

template <class I>
void score_any(Metric metric, Vec query, const double* base, std::size_t dim,
               const std::uint32_t* ids, std::size_t count, double* out,
               const double* ahead_end) {
  if (count == 0) return;
  switch (metric) {
    case Metric::Euclidean:
      score_all<I, Metric::Euclidean>(query, base, dim, ids, count, out, ahead_end);
      return;
    case Metric::InnerProduct:
      score_all<I, Metric::InnerProduct>(query, base, dim, ids, count, out, ahead_end);
      return;
    case Metric::Cosine:
      score_all<I, Metric::Cosine>(query, base, dim, ids, count, out, ahead_end);
      return;
  }
}

template <class I>
void score_block(Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out, const double* ahead_end) {
  if (count == 0) return;
  const double* end = base + count * dim;
  score_any<I>(metric, query, base, dim, nullptr, count, out,
               ahead_end != nullptr && ahead_end > end ? ahead_end : end);
}

// ids must not be null here (a null array with count 0 scores nothing).
template <class I>
void score_rows(Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out) {
  score_any<I>(metric, query, base, dim, ids, count, out, nullptr);
}

// ---------------------------------------------------------------- early abandoning
//
// The euclidean sums of one block run in lockstep; every kTestEvery
// positions a group whose lanes are all past the bound stops, and the block
// ends when all have. The rows that go on are not packed into new groups:
// that would save arithmetic but read rows in pieces, and the scan is bound
// by memory, not by arithmetic.
//
// Why giving up is safe. Every term d * d is a rounded square, so it is
// +0.0, positive, +infinity or NaN. Adding a term t >= 0 to a partial sum
// s >= 0 gives round(s + t) >= s, because s + t >= s exactly and rounding to
// nearest is monotone with s itself representable. So the running sum never
// decreases, and a NaN, once in, stays: the final sum S is NaN or S >= every
// partial sum P. The distance is the correctly rounded sqrt(S), and the
// rounded square root is monotone as well. Hence if P >= bound, where the
// caller picked bound so that sqrt(bound) >= limit (see euclidean_bound),
// then distance >= sqrt(bound) >= limit, or the distance is NaN. Either way
// "distance < limit" is false, which is all a caller that gives a vector up
// may rely on. Nothing is given up on a guess: the test looks at the very
// partial sum that the complete chain continues from.

// Adds one tile of `cnt` positions starting at `at` to the euclidean sums
// acc of the groups still in `live` (bit g for group g).
template <class I, std::size_t G>
[[gnu::always_inline]] inline void bounded_tile(const double* q, const double* const* rows,
                                                std::size_t at, std::size_t cnt, unsigned live,
                                                typename I::V (&acc)[G]) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  V qb[W];
  load_query<I>(q, at, cnt, qb);
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    if (!(live & (1u << g))) continue;
    V t[W];
    load_tile<I>(rows + g * W, at, cnt, t);
#pragma GCC unroll 16
    for (std::size_t c = 0; c < W; ++c) {
      if (c >= cnt) break;
      const V d = I::sub(qb[c], t[c]);
      acc[g] = I::add(acc[g], I::mul(d, d));
    }
  }
}

// Every group given up at position j: the next block, requested only up
// to here, is asked for a little more in case it goes on, and every row
// gives +inf.
template <class I, std::size_t G>
[[gnu::always_inline]] inline void give_up_block(const double* const* next, std::size_t j,
                                                 double* out) {
  constexpr std::size_t W = I::W;
  if (next != nullptr) {
    for (std::size_t r = 0; r < G * W; ++r) {
      prefetch_l1(next[r] + j);
      prefetch_l1(next[r] + j + 8);
    }
  }
  for (std::size_t k = 0; k < G * W; ++k) out[k] = std::numeric_limits<double>::infinity();
}

// Scores one block of G * W rows and requests the lines of the next block's
// rows (none when next is null), one per row and tile read, so that data
// streams in ahead of use. Given-up rows give +inf.
template <class I, std::size_t G>
inline void bounded_block(const double* q, std::size_t n, const double* const* rows,
                          const double* const* next, typename I::V limit, double* out) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  constexpr double inf = std::numeric_limits<double>::infinity();
  if constexpr (!I::bounded_prefetch) next = nullptr;
  V acc[G];
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) acc[g] = I::zero();
  unsigned live = (1u << G) - 1;  // groups not given up

  std::size_t j = 0;
  while (j + W <= n) {
    if (next != nullptr && j % 8 == 0) {
      for (std::size_t r = 0; r < G * W; ++r) prefetch_l1(next[r] + j);
    }
    bounded_tile<I, G>(q, rows, j, W, live, acc);
    j += W;
    if (j % kTestEvery == 0 && j < n) {
#pragma GCC unroll 16
      for (std::size_t g = 0; g < G; ++g) {
        if ((live & (1u << g)) && I::none_below(acc[g], limit)) live &= ~(1u << g);
      }
      if (live == 0) {
        give_up_block<I, G>(next, j, out);
        return;
      }
    }
  }
  if (j < n) bounded_tile<I, G>(q, rows, j, n - j, live, acc);
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    if (live & (1u << g)) {
      I::store(out + g * W, I::sqrt(acc[g]));
    } else {
      for (std::size_t r = 0; r < W; ++r) out[g * W + r] = inf;
    }
  }
}

template <class I>
void euclidean_rows_bounded(Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out) {
  const double* q = query.data();
  const std::size_t n = std::min(query.size(), dim);
  const typename I::V limit = I::set1(bound);
  auto row_at = [base, dim, ids](std::size_t i) { return base + std::size_t{ids[i]} * dim; };
  for_each_block<I, I::bounded_groups>(
      count, listed, row_at, out,
      [&](auto part, std::size_t, const double* const* rows, const double* const* next,
          double* to) { bounded_block<I, decltype(part)::groups>(q, n, rows, next, limit, to); });
  // A NaN result is a row not given up: its exact distance.
  if constexpr (!I::x86_nans) {
    to_x86_nans(out, count, [&](std::size_t i) {
      double value;
      score_block<X86>(Metric::Euclidean, query, row_at(i), dim, 1, &value, nullptr);
      return value;
    });
  }
}

// ---------------------------------------------------------------- codes

// The rows among ids[0 .. count) whose code sum may stay below `threshold`,
// in their order, written to out (which may be ids); see code_survivors in
// metrics.hpp. The sums are of integers and exact, so each set adds a
// block's 64 squares in whatever order suits it (I::code_block): every set
// gets the same survivors.
template <class I>
std::size_t code_survivors(const std::int8_t* query, const std::int8_t* codes,
                           std::size_t stride, const std::uint8_t* coded, std::int32_t threshold,
                           const std::uint32_t* ids, std::size_t count, std::uint32_t* out) {
  constexpr std::size_t kBlock = 64;
  // Codes are requested this many rows ahead (the first ones before the
  // loop), which hides a trip to memory when they are cold.
  constexpr std::size_t kAhead = 16;
  auto fetch = [&](std::size_t j) {
    const std::int8_t* next = codes + std::size_t{ids[j]} * stride;
    for (std::size_t at = 0; at < stride && at < 4 * kBlock; at += kBlock) {
      __builtin_prefetch(next + at, 0, 3);
    }
  };
  for (std::size_t j = 0; j < count && j < kAhead; ++j) fetch(j);
  std::size_t live = 0;
  for (std::size_t j = 0; j < count; ++j) {
    if (j + kAhead < count) fetch(j + kAhead);
    const std::uint32_t id = ids[j];
    bool ruled_out = false;
    if (coded[id] != 0) {
      const std::int8_t* x = codes + std::size_t{id} * stride;
      std::int32_t sum = 0;
      for (std::size_t at = 0; at < stride; at += kBlock) {
        sum += I::code_block(query + at, x + at);
        if (sum >= threshold) {
          ruled_out = true;
          break;
        }
      }
    }
    out[live] = id;
    live += !ruled_out;
  }
  return live;
}

// Row j of a walk over the axis codes: ids[j], or begin + j without ids.
inline std::size_t row_id(const std::uint32_t* ids, std::size_t begin, std::size_t j) {
  return ids != nullptr ? std::size_t{ids[j]} : begin + j;
}

// The walk of the axis codes: rows begin .. begin + count (or ids), in their
// order, written to out (which may be ids) unless ruled out. A row's blocks
// are whole: the last one of a stride that is not a multiple of 64 reads
// into the next row, or past the last, where the caller's terms give those
// codes no weight. A row whose
// first code is -128 has no codes and is kept; the others add their blocks
// in order, acc = acc + term(b, at, x) for block b at code `at` of row x,
// and are ruled out at the first block whose sum reaches limit(b).
// blocks_read, when given, grows by the blocks summed. With `whole`, every
// block of a coded row is summed and the row is ruled out when any running
// sum reached its limit: the same sums in the same order and the same
// verdicts, without a branch on each block, which pays where most rows go
// on to the last blocks and the block a row leaves at cannot be predicted.
template <class Term, class Limit>
[[gnu::always_inline]] inline std::size_t axis_survivors(const std::int8_t* codes,
                                                         std::size_t stride,
                                                         const std::uint32_t* ids,
                                                         std::size_t begin, std::size_t count,
                                                         std::uint32_t* out,
                                                         std::size_t* blocks_read, bool whole,
                                                         Term term,
                                                         Limit limit) {
  constexpr std::size_t kBlock = 64;
  // Most rows are given up after their first block, so the first line of a
  // row this far ahead is requested: the rows are not read whole, and may
  // be scattered.
  constexpr std::size_t kAhead = 8;
  const std::size_t blocks = (stride + kBlock - 1) / kBlock;
  std::size_t live = 0;
  std::size_t read = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t id = row_id(ids, begin, j);
    const std::int8_t* x = codes + id * stride;
    if (j + kAhead < count) {
      __builtin_prefetch(codes + row_id(ids, begin, j + kAhead) * stride, 0, 3);
    }
    bool ruled_out = false;
    if (x[0] != -128 && whole) {
      double acc = 0.0;
      for (std::size_t b = 0; b < blocks; ++b) {
        acc = acc + term(b, b * kBlock, x);
        ruled_out |= acc >= limit(b);
      }
      read += blocks;
    } else if (x[0] != -128) {
      double acc = 0.0;
      for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t at = b * kBlock;
        acc = acc + term(b, at, x);
        ++read;
        if (acc >= limit(b)) {
          ruled_out = true;
          break;
        }
      }
    }
    out[live] = static_cast<std::uint32_t>(id);
    live += !ruled_out;
  }
  if (blocks_read != nullptr) *blocks_read += read;
  return live;
}

// The rows whose weighted code sums stay below `threshold` block after
// block; see axis_code_survivors in metrics.hpp. Each block's sum is of
// integers and exact in any order (I::code_block), and the running sum takes
// the blocks in order, so every set gets the same survivors. A last block
// shorter than 64 codes is read into a block of zeros first: with the
// query's zero codes past the stride its gaps there are 0 and add nothing.
template <class I>
std::size_t axis_code_survivors(const std::int8_t* query, const std::int8_t* codes,
                                std::size_t stride, const double* weights, double threshold,
                                const std::uint32_t* ids, std::size_t begin, std::size_t count,
                                std::uint32_t* out, std::size_t* blocks_read) {
  const auto limit = [=](std::size_t) __attribute__((always_inline)) { return threshold; };
  if (stride % 64 == 0) {
    return axis_survivors(
        codes, stride, ids, begin, count, out, blocks_read, false,
        [=](std::size_t b, std::size_t at, const std::int8_t* x) __attribute__((always_inline)) {
          return weights[b] * static_cast<double>(I::code_block(query + at, x + at));
        },
        limit);
  }
  const std::size_t whole = stride / 64 * 64;
  return axis_survivors(
      codes, stride, ids, begin, count, out, blocks_read, false,
      [=](std::size_t b, std::size_t at, const std::int8_t* x) __attribute__((always_inline)) {
        if (at < whole) return weights[b] * static_cast<double>(I::code_block(query + at, x + at));
        alignas(64) std::int8_t last[64] = {};
        for (std::size_t k = 0; at + k < stride; ++k) last[k] = x[at + k];
        return weights[b] * static_cast<double>(I::code_block(query + at, last));
      },
      limit);
}

// The sum over 64 codes of weight times code, of integers: |weight| <=
// 32767 and |code| <= 128, so no partial sum leaves 32 bits, and the sum is
// exact in whatever order the set's vector unit takes it.
inline std::int32_t code_dot(const std::int16_t* w, const std::int8_t* x) {
  std::int32_t sum = 0;
  for (std::size_t k = 0; k < 64; ++k) sum += std::int32_t{w[k]} * std::int32_t{x[k]};
  return sum;
}

// See axis_dot_survivors in metrics.hpp; the walk of axis_code_survivors
// with a threshold per block.
template <class I>
std::size_t axis_dot_survivors(const std::int16_t* weights, const std::int8_t* codes,
                               std::size_t stride, const double* units,
                               const double* thresholds, const std::uint32_t* ids,
                               std::size_t begin, std::size_t count, std::uint32_t* out,
                               std::size_t* blocks_read, bool whole) {
  return axis_survivors(
      codes, stride, ids, begin, count, out, blocks_read, whole,
      [=](std::size_t b, std::size_t at, const std::int8_t* x) __attribute__((always_inline)) {
        return units[b] * static_cast<double>(code_dot(weights + at, x + at));
      },
      [=](std::size_t b) __attribute__((always_inline)) { return thresholds[b]; });
}

// ---------------------------------------------------------------- records

// The sums of G groups of W records (rows[g][r] is lane r of group g): acc
// the squared differences of their m products from the query's, norms
// their nu, rlo and rhi. Tile by tile of the records, each group in turn.
template <class I, std::size_t G>
[[gnu::always_inline]] inline void record_sums(const double* q,
                                               const double* const (&rows)[G][I::W],
                                               std::size_t stride, std::size_t m,
                                               typename I::V (&acc)[G],
                                               typename I::V (&norms)[G][3]) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  const V zero = I::zero();
  for (std::size_t g = 0; g < G; ++g) {
    acc[g] = zero;
    norms[g][0] = norms[g][1] = norms[g][2] = zero;
  }
  for (std::size_t at = 0; at < stride; at += W) {
    const std::size_t cnt = std::min(W, stride - at);
    for (std::size_t g = 0; g < G; ++g) {
      V t[W];
      load_tile<I>(rows[g], at, cnt, t);
      for (std::size_t c = 0; c < cnt; ++c) {
        const std::size_t pos = at + c;
        if (pos >= m) {
          norms[g][pos - m] = t[c];
          continue;
        }
        const V d = I::sub(I::set1(q[pos]), t[c]);
        acc[g] = I::add(acc[g], I::mul(d, d));
      }
    }
  }
}

// The bounds of G groups from their sums, stored to to[0 .. G * W).
template <class I, std::size_t G>
[[gnu::always_inline]] inline void store_record_bounds(const double* q, std::size_t m,
                                                       double margin,
                                                       const typename I::V (&acc)[G],
                                                       const typename I::V (&norms)[G][3],
                                                       double* to) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  const V zero = I::zero();
  for (std::size_t g = 0; g < G; ++g) {
    const V nu = norms[g][0], rlo = norms[g][1], rhi = norms[g][2];
    // The largest of 0, a and b, never a NaN.
    V gap = I::max(I::sub(I::set1(q[m + 1]), rhi), zero);
    gap = I::max(I::sub(rlo, I::set1(q[m + 2])), gap);
    const V t = I::add(I::set1(q[m]), nu);
    I::store(to + g * W,
             I::sub(I::add(acc[g], I::mul(gap, gap)), I::mul(I::set1(margin), I::mul(t, t))));
  }
}

// The euclidean sketch bounds of `count` records into lb (sketch/records.hpp
// defines them and proves them): record i starts at records + (ids ? ids[i] : i) *
// stride and holds the m products, then nu, rlo and rhi; q is the query's
// record. Lane r of a group is one record, its positions come out of
// transposed tiles as in the scoring kernels, and each lane does the
// operations of the scalar lanes in the same order, so every set gives the
// same bits as the scalar path. Eight records are summed at a time, while
// the records four groups further on are being fetched.
template <class I>
void euclidean_record_bounds(const double* q, const double* records, std::size_t stride,
                             std::size_t m, const std::uint32_t* ids, std::size_t count,
                             double margin, double* lb) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  constexpr std::size_t G = W >= 8 ? 1 : 8 / W;
  constexpr std::size_t R = G * W;
  auto row = [&](std::size_t i) {
    return records + (ids != nullptr ? std::size_t{ids[i]} : i) * stride;
  };
  // Records are requested kAhead of the group being summed (the first ones
  // before the loop): a cold record is a trip to memory, much longer than
  // one group's sums.
  constexpr std::size_t kAhead = 4 * R;
  auto fetch = [&](std::size_t r) {
    prefetch_l1(row(r));
    prefetch_l1(row(r) + stride - 1);
  };
  for (std::size_t r = 0; r < std::min(kAhead, count); ++r) fetch(r);
  for (std::size_t j = 0; j < count; j += R) {
    const std::size_t n = std::min(R, count - j);
    for (std::size_t r = j + kAhead; r < std::min(j + kAhead + R, count); ++r) fetch(r);
    // Lanes past the end repeat the last record; their bounds are dropped.
    const double* rows[G][W];
    for (std::size_t g = 0; g < G; ++g) {
      for (std::size_t r = 0; r < W; ++r) rows[g][r] = row(j + std::min(g * W + r, n - 1));
    }
    V acc[G], norms[G][3];
    record_sums<I, G>(q, rows, stride, m, acc, norms);
    // A full group is stored straight into lb; only the last, partial one
    // goes through a buffer, so that no group pays for a copy.
    double out[R];
    double* to = n == R ? lb + j : out;
    store_record_bounds<I, G>(q, m, margin, acc, norms, to);
    if (n < R) {
      for (std::size_t r = 0; r < n; ++r) lb[j + r] = out[r];
    }
  }
  if constexpr (!I::x86_nans) {
    to_x86_nans(lb, count, [&](std::size_t i) {
      double value;
      euclidean_record_bounds<X86>(q, row(i), stride, m, nullptr, 1, margin, &value);
      return value;
    });
  }
}

// ---------------------------------------------------------------- sketch arithmetic

// See dot_eightfold and dot_eightfold_rows in metrics.hpp: R rows at a time,
// so that their additions overlap where one row's would wait on each other.
// Partial j of a row is lane j % W of its accumulator j / W; the partials
// and the order in which they are combined do not depend on W or R, so every
// set gives the same bits.
template <class I, std::size_t R>
[[gnu::always_inline]] inline void dot_eightfold_group(const double* rows, const double* b,
                                                      std::size_t n, double* out) {
  using V = typename I::V;
  using S = ScalarOf<I>;
  constexpr std::size_t W = I::W;
  static_assert(W <= 8 && 8 % W == 0);
  constexpr std::size_t G = 8 / W;
  V acc[R][G];
#pragma GCC unroll 16
  for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) acc[r][g] = I::zero();
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
      const V x = I::load(b + i + g * W);
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r) {
        acc[r][g] = I::add(acc[r][g], I::mul(I::load(rows + r * n + i + g * W), x));
      }
    }
  }
  for (std::size_t r = 0; r < R; ++r) {
    const double* a = rows + r * n;
    double rest = 0.0;
    for (std::size_t k = i; k < n; ++k) rest = S::add(rest, S::mul(a[k], b[k]));
    double p[8];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) I::store(p + g * W, acc[r][g]);
    const double even = S::add(S::add(p[0], p[2]), S::add(p[4], p[6]));
    const double odd = S::add(S::add(p[1], p[3]), S::add(p[5], p[7]));
    out[r] = S::add(S::add(even, odd), rest);
    if constexpr (!I::x86_nans) {
      if (std::isnan(out[r])) dot_eightfold_group<X86, 1>(a, b, n, out + r);
    }
  }
}

template <class I>
double dot_eightfold(const double* a, const double* b, std::size_t n) {
  double dot;
  dot_eightfold_group<I, 1>(a, b, n, &dot);
  return dot;
}

template <class I>
void dot_eightfold_rows(const double* rows, std::size_t count, const double* b, std::size_t n,
                        double* out) {
  // W rows of 8 / W accumulators: eight chains of additions in flight.
  constexpr std::size_t R = I::W;
  std::size_t r = 0;
  for (; r + R <= count; r += R) dot_eightfold_group<I, R>(rows + r * n, b, n, out + r);
  for (; r < count; ++r) dot_eightfold_group<I, 1>(rows + r * n, b, n, out + r);
}

// See magnitude_within in metrics.hpp. The largest of a set of values is
// the same whatever the order they are compared in.
template <class I>
double magnitude_within(const double* x, std::size_t n, double limit) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  const V most = I::set1(limit);
  V top = I::zero();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    const V a = I::abs(I::load(x + k));
    if (!I::all_at_most(a, most)) return std::numeric_limits<double>::quiet_NaN();
    top = I::max(a, top);
  }
  if (k < n) {
    // Lanes past the end load as zero, which is at most any magnitude.
    const V a = I::abs(I::load_part(x + k, n - k));
    if (!I::all_at_most(a, most)) return std::numeric_limits<double>::quiet_NaN();
    top = I::max(a, top);
  }
  double lanes[W];
  I::store(lanes, top);
  double largest = lanes[0];
  for (std::size_t r = 1; r < W; ++r) largest = std::max(largest, lanes[r]);
  return largest;
}

// ---------------------------------------------------------------- table

template <class Lanes, Tuning T>
constexpr Table table_of() {
  using I = Tuned<Lanes, T>;
#define TARSIM_TABLE_ENTRY(ret, name, params, args) &name<I>,
  return Table{TARSIM_KERNELS(TARSIM_TABLE_ENTRY)};
#undef TARSIM_TABLE_ENTRY
}

}  // namespace
}  // namespace tarsim::metrics::kernels
