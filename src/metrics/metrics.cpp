// The three metric functions, the scalar kernels and the choice of kernel
// path for this processor.
#include "metrics/metrics.hpp"

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

// The scalar kernels use the baseline instruction set of the build.
#include "metrics/kernel_body.hpp"

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

namespace kernels {
namespace {

// One vector per "lane", four independent sums interleaved.
struct Scalar {
  using V = double;
  static constexpr std::size_t W = 1;
  static constexpr std::size_t G = 4;
  static constexpr bool prefetches = true;
  static constexpr std::size_t ahead_bytes = 32768;

  static V zero() { return 0.0; }
  static V set1(double x) { return x; }
  static V load(const double* p) { return *p; }
  static V load_part(const double* p, std::size_t) { return *p; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V sqrt(V a) { return std::sqrt(a); }
  static void store(double* p, V v) { *p = v; }
  static void prefetch(const void* p) { __builtin_prefetch(p, 0, 2); }
  static void transpose(V (&)[W]) {}
};

}  // namespace

void score_block_scalar(Metric metric, Vec query, const double* base, std::size_t dim,
                        std::size_t count, double* out, const double* ahead_end) {
  block_with<Scalar>(metric, query, base, dim, count, out, ahead_end);
}

void score_rows_scalar(Metric metric, Vec query, const double* base, std::size_t dim,
                       const std::uint32_t* ids, std::size_t count, double* out) {
  rows_with<Scalar>(metric, query, base, dim, ids, count, out);
}

}  // namespace kernels

namespace simd {

bool supported(Path path) {
  switch (path) {
    case Path::Scalar:
      return true;
    case Path::Avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
    case Path::Avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
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

void score_block(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out, const double* ahead_end) {
  switch (path) {
    case Path::Avx512:
      kernels::score_block_avx512(metric, query, base, dim, count, out, ahead_end);
      return;
    case Path::Avx2:
      kernels::score_block_avx2(metric, query, base, dim, count, out, ahead_end);
      return;
    case Path::Scalar:
      break;
  }
  kernels::score_block_scalar(metric, query, base, dim, count, out, ahead_end);
}

void score_block(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out) {
  score_block(path, metric, query, base, dim, count, out, nullptr);
}

void score_rows(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out) {
  switch (path) {
    case Path::Avx512:
      kernels::score_rows_avx512(metric, query, base, dim, ids, count, out);
      return;
    case Path::Avx2:
      kernels::score_rows_avx2(metric, query, base, dim, ids, count, out);
      return;
    case Path::Scalar:
      break;
  }
  kernels::score_rows_scalar(metric, query, base, dim, ids, count, out);
}

}  // namespace simd

void score_block(Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out) {
  simd::score_block(simd::best(), metric, query, base, dim, count, out);
}

void score_rows(Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out) {
  simd::score_rows(simd::best(), metric, query, base, dim, ids, count, out);
}

const char* simd_path() { return simd::name(simd::best()); }

}  // namespace tarsim::metrics
