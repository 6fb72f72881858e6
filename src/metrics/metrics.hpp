// Distance metrics shared by both index kinds.
//
// Every function is a pure function of (first, second): first is the query or
// the vector being inserted, second a stored vector. Sums run sequentially
// from position 0 into one accumulator that starts at +0.0, every product is
// rounded before it is added, and nothing is reordered or contracted, so a
// value is reproducible to the last bit on every build and every SIMD path.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "metrics/kernel_list.hpp"

namespace tarsim::metrics {

using Vec = std::span<const double>;

// sqrt(sum over the common positions of (first[i] - second[i])^2).
double euclidean_distance(Vec first, Vec second);
// sum over the common positions of first[i] * second[i].
double dot_product(Vec first, Vec second);
// dot / (sqrt(A) * sqrt(B)); dot over the common positions, A and B over each
// vector's full length. No zero-norm guard, no clamping.
double cosine_similarity(Vec first, Vec second);

enum class Metric : std::uint8_t { Euclidean, InnerProduct, Cosine };

using DistanceFn = double (*)(Vec, Vec);
DistanceFn function_of(Metric metric);

// Distance order: numbers numerically (-0.0 equals +0.0), NaN after every
// number and equal to every other NaN.
inline bool ranks_before(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}
inline bool ranks_equal(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b;
}

// The scanning kernels. Each is declared from its entry in kernel_list.hpp
// and runs on the widest path this processor supports (simd.hpp runs them on
// a given path); every path gives the same values to the bit.
//
// score_block, score_rows: several stored vectors at once, each with exactly
// the value the scalar function above gives for (query, that vector). Stored
// vectors have `dim` values; the query may have any length. score_block
// scores `count` vectors laid out back to back from `base`; the data may go
// on after them up to `ahead_end` (null: it does not), which the kernel may
// start fetching, so that the next piece of a longer scan does not begin
// cold. score_rows scores the vectors with the given ids, row id at
// base + id * dim.
//
// euclidean_rows_bounded: early-abandoning euclidean scoring, for searches
// that only keep a distance that is below a known limit. As score_rows with
// Metric::Euclidean, except that a vector may be given up once its running
// sum of squares is NaN or not below `bound`: its out value is then
// +infinity, and its true distance is NaN or not below any limit whose
// euclidean_bound is at most `bound`. Every other value is exact to the bit.
// ids[count .. listed) (listed may be below count) are the rows the caller
// will score next; their first lines are fetched early.
//
// code_survivors: sums of squared code gaps. For each row named by
// ids[0 .. count), whose codes start at codes + id * stride (stride a
// multiple of 64, the codes past the dimension 0 in the row and the query
// alike), the sum over k of max(0, |query[k] - code[k]| - 1)^2, added 64
// codes at a time. A row is ruled out once its running sum reaches
// `threshold`; a row with coded[id] == 0 never is. The rows not ruled out are
// written to out in their order (out may be ids); returns how many. Every
// code lies in [-127, 127], so no sum of a stride up to 32768 overflows.
//
// axis_code_survivors: weighted sums of squared code gaps, block by block.
// Rows ids[0 .. count) (begin .. begin + count when ids is null; out may be
// ids), row id's codes at codes + id * stride; query holds stride codes
// rounded up to 64, zero past the stride, and a last block shorter than 64
// codes reads only the row's own. Block b of a row adds weights[b] times the integer sum
// over its 64 codes of max(0, |query[k] - code[k]| - 1)^2 to a running
// double sum, from +0.0, in block order; the row is ruled out at the first
// block after which that sum is at least `threshold` (never when threshold
// is NaN), and a row whose first code is -128 is never ruled out and not
// read. The ids of the rows not ruled out go to out in their order; returns
// how many, and adds the blocks summed to *blocks_read when it is not null.
//
// axis_dot_survivors: the same walk over the blocks with weighted code
// products: block b adds units[b] times the integer sum over its 64 codes of
// weights[k] * code[k], and the row is ruled out at the first block b after
// which the running sum is at least thresholds[b]. Here the stride may be
// any positive length: a row has stride / 64 blocks rounded up, the last one
// read whole, so weights holds whole blocks (zero past the stride) and the
// codes may be read up to 63 bytes past the last row's. With `whole`, a
// coded row's blocks are all summed (and counted read) before its verdict,
// which is the same.
//
// euclidean_record_bounds: euclidean lower bounds from sketch records (their
// layout, their meaning and the proof that they hold are in
// sketch/records.hpp). For the record of row i, at records + (ids ? ids[i] :
// i) * stride, its m products with the basis followed by nu, rlo and rhi,
// lb[i] is the bound of that row against the query's record q with the
// given margin.
//
// dot_eightfold: a . b over n positions in eight interleaved partial sums,
// partial j taking positions j, j + 8, ... up to the last multiple of 8, the
// rest summed alone, combined as ((p0 + p2) + (p4 + p6)) + ((p1 + p3) + (p5 +
// p7)) + rest. Not the sequential order of the metrics: for the sketches,
// whose error bounds hold for any order of summation.
//
// dot_eightfold_rows: out[r] = dot_eightfold(rows + r n, b, n) for r in [0,
// count), to the bit, several rows at a time.
//
// magnitude_within: the largest |x[i]| of x[0 .. n) when every one is at
// most `limit`, otherwise NaN (an infinity or a NaN among them included).
#define TARSIM_DECLARE_KERNEL(ret, name, params, args) ret name params;
TARSIM_KERNELS(TARSIM_DECLARE_KERNEL)
#undef TARSIM_DECLARE_KERNEL

inline void score_block(Metric metric, Vec query, const double* base, std::size_t dim,
                        std::size_t count, double* out) {
  score_block(metric, query, base, dim, count, out, nullptr);
}

// euclidean_bound(limit): the smallest sum of squares whose rounded square
// root is not below `limit` (+0.0 for a limit of zero or below, the limit
// itself when it is NaN). A vector whose running sum of squares reaches it
// cannot end at a distance below `limit`.
double euclidean_bound(double limit);

// Name of the SIMD path chosen for this processor ("avx512", "avx2", "neon" or
// "scalar"); for tests and benchmarks.
const char* simd_path();

}  // namespace tarsim::metrics
