// The principal axes, their grid, the codes and the threshold, beside the
// argument that the bound holds.
#include "sketch/axis_codes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "sketch/basis.hpp"
#include "sketch/eigen.hpp"
#include "sketch/records.hpp"

namespace tarsim::sketch::axis {

// Why the bound holds. u = 2^-53, g(n) as in records.cpp. B is the basis
// as stored (axes rows, nearly orthonormal: eps >= |B B' - I|_2 is proven
// from the rows as computed, and eps <= 2^-20), so |B v| <= sqrt(1 + eps)
// |v| for every v.
//
// Coordinates. A coordinate s_i of x is a computed dot product of B_i with
// x, in any order of summation: |s_i - B_i.x| <= g(dim) |B_i| |x| + dim
// 2^-1075 (each product that underflows errs by at most 2^-1075 absolutely,
// every other operation relatively). Over all the axes, |s - Bx| <= delta
// |x| + 2^-1001 with delta = 1.1 sqrt(axes) g(dim) (|B_i| <= 1.01, and
// sqrt(axes) dim 2^-1075 <= 2^-1060 for dim and axes up to 2^15).
//
// Norms. Only rows with every |x_k| <= 2^250 get codes, so that nothing
// below overflows, and with nx = fl(fl(top sqrt(dim)) (1 + 2^-40)) <= L,
// where top = max |x_k|: |x| <= sqrt(dim) top <= nx. L is twice the largest
// nx of the fitted sample. The query gets nq the same way.
//
// Cells. Axis i of block b has centre c = centres[i] and step s =
// steps[b], 2^-400 <= s <= 2^400. The code of a coordinate v is k =
// clamp(round(t), -127, 127), t = fl(fl(v - c) / s). With w = (v - c) / s,
// t = w (1 + a)(1 + b) + e, |a|, |b| <= u (a subtraction is exact when its
// result is subnormal), |e| <= 2^-1075, so |t - w| <= 2^-44 whenever |w| <=
// 128. Hence, with eps_c = 2^-44: for |k| < 127, w lies in [k - 1/2 - eps_c,
// k + 1/2 + eps_c]; for k = 127, w >= 126.5 - eps_c (when |w| > 128, w
// has the sign of t); for k = -127, w <= -126.5 + eps_c. The cells of two
// codes k < k' are intervals of w in that order, apart by at least k' - k -
// 1 - 2 eps_c. So for the query's coordinate sq_i and the row's s_i, with
// D = |k_q - k_x| and A = max(0, D - 1):
//   |sq_i - s_i| >= s A (1 - 2^-43)         (A - 2 eps_c >= A (1 - 2 eps_c) for A >= 1)
// and, summed, |sq - s| >= (1 - 2^-43) sqrt(P), P = sum over blocks of s_b^2
// S_b, S_b the integer sum of the block's A^2 (a last block shorter than
// 64 axes sums its own: the scan reads it padded with zero codes on both
// sides, whose gaps add 0). Every A^2 is >= 0, so the sum over the blocks
// read so far is a lower bound on P.
//
// The distance. With y = q - x and E = delta (nq + L) + 2^-1000:
//   (1 - 2^-43) sqrt(P) <= |sq - s| <= |By| + |sq - Bq| + |s - Bx|
//                       <= sqrt(1 + eps) |y| + E.
// The exact kernel's sum of squares Sk >= |y|^2 (1 - g(dim + 2)) - dim
// 2^-1075 (records.cpp; the absolute term for the squares that underflow;
// nothing overflows, every value being at most 2^251). Let EB =
// euclidean_bound(worst): a computed distance sqrt(Sk) rounded is not below
// worst whenever Sk >= EB. That holds once |y|^2 >= Y = (EB + 2^-1000) / (1
// - g(dim + 2)), and so once P >= H^2, H = (sqrt((1 + eps) Y) + E) / (1 -
// 2^-43).
//
// The threshold T = fl(fl(h h) (1 + 2^-38)), h = fl(fl(sqrt(fl(fl(EB +
// 2^-1000) k1))) + E), k1 = the grid's scale >= (1 + eps) / (1 - g(dim +
// 2)) (1 + 2^-40). Every value is normal (EB + 2^-1000 >= 2^-1000, k1 >=
// 1) or infinite, so each of the nine roundings errs relatively by at most
// u: T >= H^2 (1 - 2^-43)^2 (1 + 2^-40)(1 + 2^-38)(1 - 12 u) >= H^2 (1 +
// 2^-39). The scan adds fl(fl(s_b^2) S_b) block by block (S_b < 2^22 is
// exact; fl(s_b^2) lies in [2^-800, 2^800], so no term underflows or
// overflows): over at most 2^9 blocks its sum acc <= P (1 + u)^(2^9 + 2) <
// P (1 + 2^-43). So acc >= T gives P > H^2: the row's computed distance is
// not below worst and it cannot enter. When worst is NaN or +infinity, or
// T overflows, T is NaN or +infinity, which no sum reaches.
namespace {

constexpr double kAbsolute = 0x1p-1000;

// nx of a vector: sqrt(dim) times its largest magnitude, widened; NaN when a
// value is not finite or above 2^250.
double norm_bound(const double* x, std::size_t dim) {
  const double top = metrics::magnitude_within(x, dim, records::kHuge);
  return top * std::sqrt(static_cast<double>(dim)) * (1.0 + 0x1p-40);
}

// The code of coordinate v on an axis with centre c and step s.
std::int8_t code_of(double v, double c, double s) {
  const double t = std::nearbyint((v - c) / s);
  return static_cast<std::int8_t>(std::clamp(t, -127.0, 127.0));
}

// Codes of a vector already known to be codable.
// The codes of the coordinates v (grid.axes values) into out.
void codes_of(const Grid& grid, const double* v, std::int8_t* out) {
  for (std::size_t i = 0; i < grid.axes; ++i) {
    out[i] = code_of(v[i], grid.centres[i], grid.steps[i / kBlock]);
  }
}

// The codes of x, whose coordinates are v, into out.
void encode(const Grid& grid, const double* x, std::size_t dim, const double* v,
            std::int8_t* out) {
  bool coded = false;
  if (grid.metric != metrics::Metric::Euclidean) {
    coded = encode_product(grid, x, dim, v, out);
  } else if (norm_bound(x, dim) <= grid.limit) {
    codes_of(grid, v, out);
    coded = true;
  }
  if (!coded) {
    std::fill(out, out + grid.axes, std::int8_t{0});
    out[0] = kUncoded;
  }
}

// The sample's second moments about its mean, dim x dim.
std::vector<double> covariance(const std::vector<const double*>& sample, std::size_t dim) {
  std::vector<double> mean(dim, 0.0), c(dim * dim, 0.0), d(dim);
  for (const double* row : sample) {
    for (std::size_t k = 0; k < dim; ++k) mean[k] += row[k];
  }
  for (double& m : mean) m /= static_cast<double>(sample.size());
  for (const double* row : sample) {
    for (std::size_t k = 0; k < dim; ++k) d[k] = row[k] - mean[k];
    for (std::size_t j = 0; j < dim; ++j) {
      double* cj = c.data() + j * dim;
      for (std::size_t k = j; k < dim; ++k) cj[k] += d[j] * d[k];
    }
  }
  for (std::size_t j = 0; j < dim; ++j) {
    for (std::size_t k = 0; k < j; ++k) c[j * dim + k] = c[k * dim + j];
  }
  return c;
}

// Centres, steps and the euclidean norm limit from the sample's
// coordinates, the steps widened by `room`; false when the spread of the
// first block cannot make a grid.
bool place(const std::vector<const double*>& sample, std::size_t dim, double room, Grid& grid) {
  const std::size_t blocks = blocks_of(grid.axes);
  std::vector<double> lo(grid.axes, std::numeric_limits<double>::infinity());
  std::vector<double> hi(grid.axes, -std::numeric_limits<double>::infinity());
  std::vector<double> v(grid.axes);
  double largest = 0.0;
  for (const double* row : sample) {
    largest = std::max(largest, norm_bound(row, dim));
    coordinates(grid, row, dim, v.data());
    for (std::size_t i = 0; i < grid.axes; ++i) {
      lo[i] = std::min(lo[i], v[i]);
      hi[i] = std::max(hi[i], v[i]);
    }
  }
  grid.limit = 2.0 * largest;
  grid.centres.resize(grid.axes);
  grid.steps.assign(blocks, 0.0);
  for (std::size_t i = 0; i < grid.axes; ++i) {
    grid.centres[i] = lo[i] / 2 + hi[i] / 2;
    grid.steps[i / kBlock] =
        std::max(grid.steps[i / kBlock], (hi[i] / 2 - lo[i] / 2) * room / 127);
  }
  const double first = grid.steps[0];
  if (!(first >= 0x1p-370 && first <= 0x1p370) || !std::isfinite(grid.limit)) return false;
  grid.weights.resize(blocks);
  for (std::size_t b = 0; b < blocks; ++b) {
    // Any step in [2^-400, 2^400] is sound; a block of (nearly) no spread
    // takes a small share of the first one's.
    grid.steps[b] = std::clamp(grid.steps[b], first * 0x1p-30, first);
    grid.weights[b] = grid.steps[b] * grid.steps[b];
  }
  return true;
}

}  // namespace

void coordinates(const Grid& grid, const double* x, std::size_t dim, double* out) {
  metrics::dot_eightfold_rows(grid.basis.data(), grid.axes, x, dim, out);
}

bool wanted(const Config& config, std::size_t dim) {
  return config.axis_codes && dim >= kBlock && dim <= config.axis_max_dim;
}

Grid fit(const std::vector<const double*>& sample, std::size_t dim, std::size_t axes,
         metrics::Metric metric) {
  if (sample.size() < 2 || axes == 0 || axes > dim) return {};
  const bool products = metric != metrics::Metric::Euclidean;
  if (products && axes != dim) return {};
  std::vector<double> c = covariance(sample, dim);
  std::vector<double> vectors;
  if (!eigen::symmetric(c, dim, vectors)) return {};
  Grid grid;
  grid.metric = metric;
  grid.axes = axes;
  vectors.resize(axes * dim);
  grid.basis.swap(vectors);
  const double eps = basis::orthogonality_error(grid.basis, axes, dim);
  if (!(eps <= 0x1p-20)) return {};
  // The inner product and cosine grids have room for rows past the
  // sample's range: they cannot code a row off the grid.
  if (!place(sample, dim, products ? 1.25 : 1.0, grid)) return {};
  grid.eps = eps;
  grid.gd = records::gamma(static_cast<double>(dim));
  grid.delta = 1.1 * std::sqrt(static_cast<double>(axes)) * grid.gd;
  grid.scale = (1.0 + eps) / (1.0 - records::gamma(dim + 2.0)) * (1.0 + 0x1p-40);
  if (products) fit_products(sample, dim, grid);
  return grid;
}

void encode_rows(const Grid& grid, const double* data, std::size_t dim, std::size_t from,
                 std::size_t to, std::int8_t* codes) {
  constexpr std::size_t kRows = 32;
  constexpr std::size_t kSlice = 32;
  std::vector<double> v(kRows * grid.axes);
  for (std::size_t first = from; first < to; first += kRows) {
    const std::size_t rows = std::min(kRows, to - first);
    // A slice of 32 axes of the basis (a quarter megabyte at dimension 1024)
    // stays in cache while it is multiplied with every row of the batch.
    for (std::size_t a = 0; a < grid.axes; a += kSlice) {
      const std::size_t slice = std::min(kSlice, grid.axes - a);
      for (std::size_t r = 0; r < rows; ++r) {
        metrics::dot_eightfold_rows(grid.basis.data() + a * dim, slice, data + (first + r) * dim,
                                    dim, v.data() + r * grid.axes + a);
      }
    }
    for (std::size_t r = 0; r < rows; ++r) {
      encode(grid, data + (first + r) * dim, dim, v.data() + r * grid.axes,
             codes + (first + r) * grid.axes);
    }
  }
}

void prepare(const Grid& grid, const double* q, std::size_t dim, Prepared& out) {
  out.usable = false;
  if (grid.axes == 0) return;
  if (grid.metric != metrics::Metric::Euclidean) {
    prepare_products(grid, q, dim, out);
    return;
  }
  const double nq = norm_bound(q, dim);
  if (std::isnan(nq)) return;
  std::vector<double> v(grid.axes);
  coordinates(grid, q, dim, v.data());
  // Zero past the last axis, where a row's last block is read as zeros.
  out.codes.assign(blocks_of(grid.axes) * kBlock, 0);
  codes_of(grid, v.data(), out.codes.data());
  out.error = grid.delta * (nq + grid.limit) + kAbsolute;
  out.usable = true;
}

void thresholds(const Grid& grid, const Prepared& query, double worst, double* out) {
  if (grid.metric != metrics::Metric::Euclidean) {
    product_thresholds(grid, query, worst, out);
    return;
  }
  const double eb = metrics::euclidean_bound(worst);
  const double h = std::sqrt((eb + kAbsolute) * grid.scale) + query.error;
  std::fill(out, out + blocks_of(grid.axes), h * h * (1.0 + 0x1p-38));
}

#if TARSIM_TESTING
std::size_t survivors_gap_wide(const Grid& grid, const std::int8_t* query,
                               const std::int8_t* codes, double threshold,
                               const std::uint32_t* from, std::size_t begin, std::size_t count,
                               std::uint32_t* out) {
  std::size_t live = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t id = from != nullptr ? from[j] : begin + j;
    const std::int8_t* x = codes + id * grid.axes;
    double acc = 0.0;
    for (std::size_t b = 0; b < blocks_of(grid.axes) && x[0] != kUncoded; ++b) {
      std::int64_t sum = 0;
      for (std::size_t i = b * kBlock; i < std::min((b + 1) * kBlock, grid.axes); ++i) {
        const std::int64_t gap = std::abs(int{query[i]} - int{x[i]});
        sum += gap * gap;
      }
      acc = acc + grid.weights[b] * static_cast<double>(sum);
      if (acc >= threshold) break;
    }
    out[live] = static_cast<std::uint32_t>(id);
    live += !(acc >= threshold);
  }
  return live;
}
#endif

}  // namespace tarsim::sketch::axis
