// The three metric functions, the bound of the early-abandoning kernels and
// the choice of kernel table for this processor.
#include "metrics/metrics.hpp"

#include <cmath>
#include <limits>

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace tarsim::metrics {

double euclidean_distance(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = first[i] - second[i];
    sum = sum + d * d;
  }
  return std::sqrt(sum);
}

double dot_product(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum = sum + first[i] * second[i];
  return sum;
}

double cosine_similarity(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double dot = 0.0;
  for (std::size_t i = 0; i < n; ++i) dot = dot + first[i] * second[i];
  double a = 0.0;
  for (double x : first) a = a + x * x;
  double b = 0.0;
  for (double x : second) b = b + x * x;
  return dot / (std::sqrt(a) * std::sqrt(b));
}

DistanceFn function_of(Metric metric) {
  switch (metric) {
    case Metric::InnerProduct:
      return &dot_product;
    case Metric::Cosine:
      return &cosine_similarity;
    case Metric::Euclidean:
      break;
  }
  return &euclidean_distance;
}

double euclidean_bound(double limit) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (std::isnan(limit)) return limit;
  // Every root is >= +0.0, so a limit of zero or below admits nothing.
  if (!(limit > 0.0)) return 0.0;
  if (limit == inf) return inf;
  // The rounded square of the limit is within an ulp or so of the answer;
  // step up until its root reaches the limit, then down while the value
  // below still does. sqrt(+inf) = +inf reaches any limit, so +inf is the
  // answer of last resort and always sound.
  double s = limit * limit;
  for (int i = 0; i < 8 && std::sqrt(s) < limit; ++i) s = std::nextafter(s, inf);
  if (std::sqrt(s) < limit) return inf;
  for (int i = 0; i < 8; ++i) {
    const double below = std::nextafter(s, 0.0);
    if (std::sqrt(below) < limit) break;
    s = below;
    if (s == 0.0) break;
  }
  return s;
}

namespace simd {

bool supported(Path path) {
  switch (path) {
    case Path::Scalar:
      return true;
#if TARSIM_X86_KERNELS
    case Path::Avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
    case Path::Avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
    case Path::Avx2:
    case Path::Avx512:
      return false;
#endif
  }
  return false;
}

Path best() {
  static const Path chosen = supported(Path::Avx512) ? Path::Avx512
                             : supported(Path::Avx2) ? Path::Avx2
                                                     : Path::Scalar;
  return chosen;
}

const char* name(Path path) {
  switch (path) {
    case Path::Avx512:
      return "avx512";
    case Path::Avx2:
      return "avx2";
    case Path::Scalar:
      break;
  }
  return "scalar";
}

namespace {

// The one choice of kernels: the table of a path, which must be supported.
const kernels::Table& table(Path path) {
  switch (path) {
#if TARSIM_X86_KERNELS
    case Path::Avx512:
      return kernels::avx512_table;
    case Path::Avx2:
      return kernels::avx2_table;
#else
    case Path::Avx512:
    case Path::Avx2:
#endif
    case Path::Scalar:
      break;
  }
  return kernels::scalar_table;
}

const kernels::Table& best_table() {
  static const kernels::Table& chosen = table(best());
  return chosen;
}

}  // namespace

void score_block(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out, const double* ahead_end) {
  table(path).score_block(metric, query, base, dim, count, out, ahead_end);
}

void score_block(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out) {
  table(path).score_block(metric, query, base, dim, count, out, nullptr);
}

void score_rows(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out) {
  table(path).score_rows(metric, query, base, dim, ids, count, out);
}

void euclidean_rows_bounded(Path path, Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out) {
  table(path).euclidean_rows_bounded(query, base, dim, ids, count, listed, bound, out);
}

std::size_t code_survivors(Path path, const std::int8_t* query, const std::int8_t* codes,
                           std::size_t stride, const std::uint8_t* coded, std::int32_t threshold,
                           const std::uint32_t* ids, std::size_t count, std::uint32_t* out) {
  return table(path).code_survivors(query, codes, stride, coded, threshold, ids, count, out);
}

void euclidean_record_bounds(Path path, const double* q, const double* records,
                             std::size_t stride, std::size_t m, const std::uint32_t* ids,
                             std::size_t count, double margin, double* lb) {
  table(path).euclidean_record_bounds(q, records, stride, m, ids, count, margin, lb);
}

}  // namespace simd

void score_block(Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out) {
  simd::best_table().score_block(metric, query, base, dim, count, out, nullptr);
}

void score_rows(Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out) {
  simd::best_table().score_rows(metric, query, base, dim, ids, count, out);
}

void euclidean_rows_bounded(Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out) {
  simd::best_table().euclidean_rows_bounded(query, base, dim, ids, count, listed, bound, out);
}

std::size_t code_survivors(const std::int8_t* query, const std::int8_t* codes,
                           std::size_t stride, const std::uint8_t* coded, std::int32_t threshold,
                           const std::uint32_t* ids, std::size_t count, std::uint32_t* out) {
  return simd::best_table().code_survivors(query, codes, stride, coded, threshold, ids, count,
                                           out);
}

void euclidean_record_bounds(const double* q, const double* records, std::size_t stride,
                             std::size_t m, const std::uint32_t* ids, std::size_t count,
                             double margin, double* lb) {
  simd::best_table().euclidean_record_bounds(q, records, stride, m, ids, count, margin, lb);
}

const char* simd_path() { return simd::name(simd::best()); }

}  // namespace tarsim::metrics
