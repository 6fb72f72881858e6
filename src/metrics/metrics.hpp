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

// Several stored vectors at once, each with exactly the value the scalar
// function above gives for (query, that vector). Stored vectors have `dim`
// values; the query may have any length.
//
// score_block: `count` vectors laid out back to back from `base`.
void score_block(Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out);
// score_rows: the vectors with the given ids, row id at base + id * dim.
void score_rows(Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out);

// Early-abandoning euclidean scoring, for searches that only keep a distance
// that is below a known limit.
//
// euclidean_bound(limit): the smallest sum of squares whose rounded square
// root is not below `limit` (+0.0 for a limit of zero or below, the limit
// itself when it is NaN). A vector whose running sum of squares reaches it
// cannot end at a distance below `limit`.
double euclidean_bound(double limit);
// As score_rows with Metric::Euclidean, except that a vector may be given up
// once its running sum of squares is NaN or not below `bound`: its out value
// is then +infinity, and its true distance is NaN or not below any limit
// whose euclidean_bound is at most `bound`. Every other value is exact to
// the bit. ids[count .. listed) (listed may be below count) are the rows the
// caller will score next; their first lines are fetched early.
void euclidean_rows_bounded(Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out);

// Sums of squared code gaps: for each row named by ids[0 .. count), whose
// codes start at codes + id * stride (stride a multiple of 64, the codes
// past the dimension 0 in the row and the query alike), the sum over k of
// max(0, |query[k] - code[k]| - 1)^2, added 64 codes at a time. A row is
// ruled out once its running sum reaches `threshold`; a row with coded[id]
// == 0 never is. The rows not ruled out are written to out in their order
// (out may be ids); returns how many. Every code lies in [-127, 127], so
// no sum of a stride up to 32768 overflows.
std::size_t code_survivors(const std::int8_t* query, const std::int8_t* codes,
                           std::size_t stride, const std::uint8_t* coded, std::int32_t threshold,
                           const std::uint32_t* ids, std::size_t count, std::uint32_t* out);

// Euclidean lower bounds from sketch records (their layout, their meaning
// and the proof that they hold are in sketch/sketch.cpp): for the record of
// row i, at records + (ids ? ids[i] : i) * stride, its m products with the
// basis followed by nu, rlo and rhi, lb[i] is the bound of that row against
// the query's record q with the given margin. The same bits on every path.
void euclidean_record_bounds(const double* q, const double* records, std::size_t stride,
                             std::size_t m, const std::uint32_t* ids, std::size_t count,
                             double margin, double* lb);

// Name of the SIMD path chosen for this processor ("avx512", "avx2" or
// "scalar"); for tests and benchmarks.
const char* simd_path();

}  // namespace tarsim::metrics
