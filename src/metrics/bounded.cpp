// Early-abandoning euclidean scoring: the bound a search derives from its
// current limit, the scalar kernel and the choice of path.
#include "metrics/bounded.hpp"

#include <cmath>
#include <limits>

#include "metrics/bounded_body.hpp"

namespace tarsim::metrics {

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

namespace kernels {
namespace {

// One vector per lane, four slots.
struct ScalarLanes {
  using V = double;
  static constexpr std::size_t W = 1;

  static V zero() { return 0.0; }
  static V set1(double x) { return x; }
  static V load(const double* p) { return *p; }
  static V load_part(const double* p, std::size_t) { return *p; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V sqrt(V a) { return std::sqrt(a); }
  static void store(double* p, V v) { *p = v; }
  static bool given_up(V acc, V limit) { return !(acc < limit); }
  static void prefetch(const void*) {}
  static void transpose(V (&)[W]) {}
};

}  // namespace

void euclidean_rows_bounded_scalar(Vec query, const double* base, std::size_t dim,
                                   const std::uint32_t* ids, std::size_t count, std::size_t listed,
                                   double bound, double* out) {
  euclidean_bounded<ScalarLanes, 4>(query.data(), std::min(query.size(), dim), base, dim,
                             ids, count, listed, bound, out);
}

}  // namespace kernels

namespace simd {

void euclidean_rows_bounded(Path path, Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out) {
  switch (path) {
    case Path::Avx512:
      kernels::euclidean_rows_bounded_avx512(query, base, dim, ids, count, listed, bound, out);
      return;
    case Path::Avx2:
      kernels::euclidean_rows_bounded_avx2(query, base, dim, ids, count, listed, bound, out);
      return;
    case Path::Scalar:
      break;
  }
  kernels::euclidean_rows_bounded_scalar(query, base, dim, ids, count, listed, bound, out);
}

}  // namespace simd

void euclidean_rows_bounded(Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out) {
  simd::euclidean_rows_bounded(simd::best(), query, base, dim, ids, count, listed, bound, out);
}

}  // namespace tarsim::metrics
