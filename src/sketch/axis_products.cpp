// The axis codes of the inner product and the cosine: the grid's norm
// limits, the codes, the query's terms and the thresholds, beside the
// argument that the bound holds.
#include <algorithm>
#include <cmath>
#include <limits>

#include "sketch/axis_codes.hpp"
#include "sketch/records.hpp"

namespace tarsim::sketch::axis {

// Why the bound holds. Notation as in axis_codes.cpp; here the basis is
// square (axes = dim), so |I - B'B|_2 = |I - BB'|_2 <= eps.
//
// Norms. Only provable rows get codes (records.hpp: every |x_k| <= 2^250,
// and nonzero ones at least 2^-250 in their largest value, so the computed
// N = |x|^2 errs relatively by g(dim) at most), each with hi = fl(sqrt(N))
// (1 + 2 g(dim) + 2^-40) >= |x| and lo = fl(sqrt(N)) (1 - 2 g(dim) -
// 2^-40) <= |x|; a row gets codes when hi <= L (the grid's limit) and, for
// the cosine, it is nonzero with lo >= F (the floor). The query gets nq_hi,
// nq_lo the same way.
//
// The products. q.x = (Bq).(Bx) + q'(I - B'B)x, so |q.x - (Bq).(Bx)| <= eps
// |q||x|; and with the coordinate errors of axis_codes.cpp (|sq - Bq| <=
// delta |q| + 2^-1060, the same for x, |Bv| <= 1.0001 |v|), |(Bq).(Bx) -
// sq.s| <= 2.01 delta |q||x| + 2^-1001. So q.x >= sq.s - eta nq_hi L -
// 2^-999, eta = eps + 2.1 delta.
//
// Cells. No code is clamped here: a row with any |t| > 127 gets none (the
// grid has a quarter more room than the sample's range). So the row's
// coordinate s_i lies in c_i + s [k - 1/2 - 2^-44, k + 1/2 + 2^-44], and
//   sq_i s_i >= sq_i c_i + (sq_i s) k - |sq_i| s (1/2 + 2^-44).
// The query's weight w_i = fl(sq_i s) = sq_i s + o_i, |o_i| <= u |w_i| +
// 2^-1075, is written as unit qw_i + r_i with qw_i = round(w_i / unit) an
// integer of at most 32767 in magnitude (unit a power of two, at least
// 2^-880, above max |w_i| / 32767, so the quotient is exact and |r_i| <=
// unit / 2). The last block may hold fewer than 64 axes: its weights past
// the last axis are zero, so the codes read there (the next row's, or the
// spare bytes after the last row) add nothing, and every sum below runs
// over its axes alone, at most 64. With |k| <= 127, over the block's axes:
//   sum sq_i s_i >= unit S + C - W - R,   S = sum qw_i k_i (exact, < 2^28),
// C = sum sq_i c_i, W = sum |sq_i| s (1/2 + 2^-44), R = 127 * 64 (unit / 2
// + 2 u max |w_i|) + 2^-1000. K = C - W - R is computed, then lowered by
// 2^-40 (|C| + W + R) + 2^-1000, which covers the roundings of its 200 or
// so operations (g(200) < 2^-45) and the products that underflow.
//
// The axes not read. After blocks 0 .. b, the rest adds sum over the unread
// j of sq_j s_j >= -|sq_rest| |s_rest| >= -tail_b Ls, tail_b >= |sq_rest|
// (its computed norm widened by 2^-40, plus 2^-500 for squares that
// underflow) and Ls = L (1 + 2^-19) >= |s| (|s| <= (1.0001 + delta) |x| +
// 2^-1060).
//
// The scan adds fl(unit_b S_b) block by block (exact products of a power of
// two and an integer, all normal); over at most 2^9 blocks the running sum
// acc errs by at most M_b = 2^-40 sum unit_b 2^28. Together, after blocks 0
// .. b, q.x >= acc - M_b + sum (K_lo) - tail_b Ls - eta nq_hi L - 2^-999.
// terms[b] is M_b - sum (K_lo) + tail_b Ls + eta nq_hi L + 2^-999 as
// computed, sizes[b] the sum of the magnitudes in it; a threshold is
// target + terms[b] + 2^-40 (|target| + sizes[b]), which covers the
// roundings of the sums (fewer than 2^10 terms, g < 2^-42), so acc >=
// threshold proves q.x >= target.
//
// Targets. Inner product: the kernel's d is within g(dim) |q||x| of q.x,
// so q.x >= worst + g(dim) nq_hi L (1 + 2^-40) proves d >= worst. Cosine:
// the kernel's d is within 8 g(dim) of c = q.x / (|q||x|) (records.cpp).
// With w = worst + 16 g(dim) + 2^-40 (the rounding of the sum covered):
// when w > 0, q.x >= w nq_hi L >= w |q||x| gives c >= w; when w <= 0, q.x
// >= w nq_lo F gives c >= w (if q.x >= 0, c >= 0 >= w; if q.x < 0, then
// |q||x| >= nq_lo F gives c >= q.x / (nq_lo F) >= w). So d >= worst. The roundings of the target's products are relative and covered
// by the threshold's 2^-40 |target|. A NaN or infinite worst gives a NaN or
// infinite threshold, which rules nothing out.
namespace {

constexpr double kSlack = 0x1p-40;
constexpr double kMaxBlockSum = 0x1p28;  // 64 * 32767 * 127 < 2^28

// hi and lo of a provable row (nonzero for the cosine); false otherwise.
bool norms(const double* x, std::size_t dim, bool cosine, double gd, double& hi, double& lo) {
  if (!records::provable(x, dim, cosine)) return false;
  const double root = std::sqrt(metrics::dot_eightfold(x, x, dim));
  hi = root * (1.0 + 2.0 * gd + kSlack);
  lo = root * (1.0 - 2.0 * gd - kSlack);
  return true;
}

// The unit of a block whose largest weight magnitude is `most`.
double unit_for(double most) {
  if (!(most > 0.0)) return 1.0;
  return std::ldexp(1.0, std::max(std::ilogb(most / 32767.0) + 1, -880));
}

// Fills the query's weights and units; returns K_lo of block b.
double block_terms(const Grid& grid, const std::vector<double>& sq, std::size_t b,
                   Prepared& out) {
  const double s = grid.steps[b];
  double most = 0.0;
  const std::size_t end = std::min((b + 1) * kBlock, grid.axes);
  for (std::size_t i = b * kBlock; i < end; ++i) {
    most = std::max(most, std::fabs(sq[i] * s));
  }
  const double unit = unit_for(most);
  out.units[b] = unit;
  double c = 0.0, w = 0.0, size = 0.0;
  for (std::size_t i = b * kBlock; i < end; ++i) {
    out.weights[i] = static_cast<std::int16_t>(std::nearbyint(sq[i] * s / unit));
    c += sq[i] * grid.centres[i];
    size += std::fabs(sq[i] * grid.centres[i]);
    w += std::fabs(sq[i]) * s * (0.5 + 0x1p-44);
  }
  const double r = 127.0 * 64.0 * (unit / 2 + 2.0 * records::kU * most) + 0x1p-1000;
  return (c - w - r) - kSlack * (size + w + r) - 0x1p-1000;
}

}  // namespace

void fit_products(const std::vector<const double*>& sample, std::size_t dim, Grid& grid) {
  const bool cosine = grid.metric == metrics::Metric::Cosine;
  double top = 0.0, bottom = std::numeric_limits<double>::infinity();
  for (const double* row : sample) {
    double hi = 0.0, lo = 0.0;
    if (!norms(row, dim, cosine, grid.gd, hi, lo)) continue;
    top = std::max(top, hi);
    if (lo > 0.0) bottom = std::min(bottom, lo);
  }
  grid.limit = top * (1.0 + 0x1p-10);
  grid.floor = cosine && std::isfinite(bottom) ? bottom * (1.0 - 0x1p-10) : 0.0;
}

bool encode_product(const Grid& grid, const double* x, std::size_t dim, const double* v,
                    std::int8_t* out) {
  double hi = 0.0, lo = 0.0;
  const bool cosine = grid.metric == metrics::Metric::Cosine;
  if (!norms(x, dim, cosine, grid.gd, hi, lo) || !(hi <= grid.limit)) return false;
  if (cosine && !(lo >= grid.floor)) return false;
  for (std::size_t i = 0; i < grid.axes; ++i) {
    const double t = (v[i] - grid.centres[i]) / grid.steps[i / kBlock];
    if (!(std::fabs(t) <= 127.0)) return false;
    out[i] = static_cast<std::int8_t>(std::nearbyint(t));
  }
  return true;
}

void prepare_products(const Grid& grid, const double* q, std::size_t dim, Prepared& out) {
  const bool cosine = grid.metric == metrics::Metric::Cosine;
  if (!norms(q, dim, cosine, grid.gd, out.norm_hi, out.norm_lo)) return;
  const std::size_t blocks = blocks_of(grid.axes);
  std::vector<double> sq(grid.axes);
  coordinates(grid, q, dim, sq.data());
  // The last block's weights past the last axis are zero, so the scan may
  // read whole blocks of codes.
  out.weights.assign(blocks * kBlock, 0);
  out.units.resize(blocks);
  out.terms.resize(blocks);
  out.sizes.resize(blocks);
  // Norms of the query's coordinates past each block, from the last.
  std::vector<double> tail(blocks, 0.0);
  double rest = 0.0;
  for (std::size_t b = blocks; b-- > 1;) {
    for (std::size_t i = b * kBlock; i < std::min((b + 1) * kBlock, grid.axes); ++i) {
      rest += sq[i] * sq[i];
    }
    tail[b - 1] = std::sqrt(rest) * (1.0 + kSlack) + 0x1p-500;
  }
#if TARSIM_TESTING
  if (grid.drop_tail) std::fill(tail.begin(), tail.end(), 0.0);
#endif
  const double ls = grid.limit * (1.0 + 0x1p-19);
  const double fixed = (grid.eps + 2.1 * grid.delta) * out.norm_hi * grid.limit + 0x1p-999;
  double lowered = 0.0, lowered_size = 0.0, units = 0.0;
  for (std::size_t b = 0; b < blocks; ++b) {
    const double k_lo = block_terms(grid, sq, b, out);
    lowered -= k_lo;
    lowered_size += std::fabs(k_lo);
    units += out.units[b];
    const double m = kSlack * units * kMaxBlockSum;
    out.terms[b] = m + lowered + tail[b] * ls + fixed;
    out.sizes[b] = m + lowered_size + tail[b] * ls + fixed;
  }
  out.usable = true;
}

void product_thresholds(const Grid& grid, const Prepared& query, double worst, double* out) {
  double target;
  if (grid.metric == metrics::Metric::InnerProduct) {
    target = worst + grid.gd * query.norm_hi * grid.limit * (1.0 + kSlack);
  } else {
    const double w = worst + (16.0 * grid.gd + kSlack);
    target = w > 0.0 ? w * (query.norm_hi * grid.limit) : w * (query.norm_lo * grid.floor);
  }
  for (std::size_t b = 0; b < query.terms.size(); ++b) {
    out[b] = target + query.terms[b] + kSlack * (std::fabs(target) + query.sizes[b]);
  }
}

}  // namespace tarsim::sketch::axis
