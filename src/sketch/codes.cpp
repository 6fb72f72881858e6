// The grid, the codes and the code bound, beside the argument that the
// bound holds.
#include "sketch/codes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace tarsim::sketch::codes {

bool wanted(const Config& config, metrics::Metric metric, std::size_t dim) {
  if (!config.codes || metric != metrics::Metric::Euclidean) return false;
  return dim <= 32768 && (dim >= 128 || !size_rules(config));
}

Grid fit(const std::vector<const double*>& sample, std::size_t dim) {
  if (sample.empty()) return {};
  // The sample's rows are provable: finite, at most 2^250 in magnitude.
  double lo = sample.front()[0], hi = lo;
  for (const double* row : sample) {
    for (std::size_t k = 0; k < dim; ++k) {
      lo = std::min(lo, row[k]);
      hi = std::max(hi, row[k]);
    }
  }
  // A quarter more than the sample's range on either side, for the rows
  // that come after the fit.
  const double centre = lo / 2 + hi / 2;
  const double step = (hi / 2 - lo / 2) * 1.25 / 127;
  if (!(step >= 0x1p-400 && step <= 0x1p400) || !std::isfinite(centre)) return {};
  return Grid{centre, step, (dim + 63) / 64 * 64};
}

// Codes (euclidean only). The grid is a centre c and a step s, doubles with
// 2^-400 <= s <= 2^400, fitted to the range of the sample with room to
// spare; the code of a value v is k = round(t), t = fl(fl(v - c) / s), kept
// only when |t| <= 127 (a vector with any other value, or a non-finite one,
// has no codes). Write a = fl(v - c). Then |a - (v - c)| <= u |v - c| (a
// subtraction, exact when the result is subnormal), |t - a / s| <= u |t| +
// 2^-1074, so |a / s| <= 128 and |v - c| <= 129 s, and |t - k| <= 1/2. So
//   |v - (c + k s)| <= |v - c - a| + s |a / s - t| + s |t - k|
//                   <= s (1/2 + 129 u + 128 u + 2^-1074) <= s (1/2 + 2^-44).
bool encode(const Grid& grid, const double* x, std::size_t dim, std::int8_t* out) {
  for (std::size_t k = 0; k < dim; ++k) {
    const double t = (x[k] - grid.centre) / grid.step;
    if (!(std::fabs(t) <= 127.0)) {
      std::fill(out, out + grid.stride, std::int8_t{0});
      return false;
    }
    out[k] = static_cast<std::int8_t>(std::nearbyint(t));
  }
  std::fill(out + dim, out + grid.stride, std::int8_t{0});
  return true;
}

// The query's codes are made the same way. For one coordinate with code
// gap D = |k_q - k_x| and A = max(0, D - 1), the true |q_i - x_i| is at least
// s D - s (1 + 2^-43) >= s A (1 - 2^-43) when A >= 1, and at least 0 = s A
// otherwise. Summing, |q - x|^2 >= s^2 (1 - 2^-43)^2 S with S the integer sum
// of the A^2, computed exactly (each A^2 <= 253^2, at most 32768 of them, so
// no int32 sum overflows). The exact kernel's Sk >= |q - x|^2 (1 - g(dim +
// 2)) (the euclidean case above), and g(32770) < 2^-37, so
//   Sk >= K S,   K = s^2 (1 - 2^-43)^2 (1 - g(dim + 2)) >= s^2 (1 - 2^-36).
// code_threshold(worst) returns T = ceil(Tf), Tf = fl(fl(EB / fl(s^2)) *
// (1 + 2^-30)) for EB = euclidean_bound(worst): three roundings lose at most
// 3.1 u, so Tf >= EB / s^2 (1 + 2^-31) >= EB / K. A row is ruled out when
// S >= T: then K S >= EB, Sk >= EB and the rounded distance is not below
// worst. When EB is NaN or infinite, or Tf is not below 2^31 - 1, T is
// INT32_MAX, which no sum reaches. s^2 >= 2^-800 is a normal number, so the
// division loses only its rounding while its quotient is normal too; a
// quotient below the normal range is the case units() treats apart.
// Neither vector need be provable here (a tiny query still has codes), so
// the kernel's squares and sums may underflow: each errs by at most 2^-1075,
// dim 2^-1075 in all, far below the excess 2^-37 s^2 S >= 2^-837 of K's
// factors over the ones derived whenever S >= 1. Codes past the dimension
// are 0 in the row and the query, so they add max(0, -1)^2 = 0.
namespace {

// Tf of the argument above (+infinity without a grid), and T from it.
double units(const Grid& grid, double worst) {
  if (grid.stride == 0) return std::numeric_limits<double>::infinity();
  const double bound = metrics::euclidean_bound(worst);
  const double tf = bound / (grid.step * grid.step) * (1.0 + 0x1p-30);
  // The quotient EB / s^2 may lie below the normal range although s^2 does
  // not (a tiny worst against a grid fitted to huge rows: EB near 1e-222
  // and s^2 near 1e146 give 1e-368). Its rounding then errs absolutely, not
  // relatively, and a quotient rounded to 0 would give T = 0, which every
  // code sum reaches: every coded row would be ruled out. But a computed
  // quotient below 2^-1022 means EB < 2^-1021 fl(s^2) < K, and any nonzero
  // code sum is at least 1, so T = 1 proves what T = ceil(EB / K) would.
  // T = 0 stays only for EB = 0 (a worst of zero or below), which every
  // computed distance reaches.
  if (tf == 0.0 && bound > 0.0) return 0x1p-1074;
  return tf;
}

std::int32_t rounded_up(double units) {
  if (!(units < 2147483647.0)) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::ceil(units));
}

}  // namespace

std::int32_t threshold(const Grid& grid, double worst) {
  return rounded_up(units(grid, worst));
}

#if TARSIM_TESTING
std::int32_t threshold(const Grid& grid, double worst, double scale) {
  return rounded_up(units(grid, worst) * scale);
}
#endif

std::int64_t sum(const std::int8_t* q, const std::int8_t* x, std::size_t stride) {
  std::int64_t total = 0;
  for (std::size_t k = 0; k < stride; ++k) {
    const std::int64_t a = std::max<std::int64_t>(std::abs(q[k] - x[k]) - 1, 0);
    total += a * a;
  }
  return total;
}

}  // namespace tarsim::sketch::codes
