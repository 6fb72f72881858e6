// The fitted basis, the records of the stored vectors and the lower bounds.
//
// Why the bounds hold. Notation: u = 2^-53 is the unit roundoff, g(n) =
// 1.01 n u / (1 - n u) bounds the relative error of a computed sum of n
// products (the usual gamma_n, inflated so that its own rounding is
// covered). B is the m x dim matrix of the basis exactly as stored (whatever
// doubles the fit produced), G = B B', E = G - I, and eps >= |E|_2 is proven
// by fit() from the computed Gram matrix (below). For any vector v let
// r_v = v - B'Bv. Then, exactly in real arithmetic,
//   q.x   = (Bq).(Bx) - (Bq)'E(Bx) + r_q.r_x                          (1)
//   |r_v|^2 = |v|^2 - |Bv|^2 + (Bv)'E(Bv)                            (2)
//   |y|^2 = |By|^2 - (By)'E(By) + |r_y|^2 >= (1 - eps)|By|^2 + |r_y|^2 (3)
// and r_y = r_q - r_x for y = q - x, so |r_y| >= | |r_q| - |r_x| |.
//
// Computed quantities and their errors. The record of x holds s = the
// computed Bx, each coordinate a sum of dim products, so
// |s_i - (Bx)_i| <= g(dim) |B_i| |x| and, with |B_i|^2 = G_ii <= 1 + eps,
// |s - Bx| <= delta |x| where delta = 1.1 sqrt(m) g(dim). A record is only
// made for a vector with finite components, its largest magnitude at most
// 2^250 and either zero or at least 2^-250: then nothing overflows, and
// every product that underflows errs by at most 2^-1075, which is below
// u^8 times any product of two nonzero norms involved, so the relative terms
// below (each at least u times such a product) absorb it; a zero vector has
// an exactly zero record and contributes no error at all. We require
// eps <= 2^-20, so 1 + eps, |s| / |x| and similar factors are below 1.01.
// Each margin below is larger than the sum of the error terms derived for
// it, and the excess (at least 6 u times the scale of the bound: the product
// of the norms, or its square for the euclidean distance) covers the
// roundings of the handful of operations that assemble the bound, each at
// most u times a value no larger than 3.1 times that scale.
//
// Record norms. N = computed |x|^2 (relative error g(dim)), S = computed
// |s|^2. nu = sqrt(N) (1 + 2 g(dim) + 2^-40) >= |x|. By (2), |r_x|^2 lies
// within N - S +- T with T <= (g(dim) + 2.1 delta + 1.01 g(m) + 1.01 eps)
// 1.1 N, and rlo, rhi are the square roots of the two ends (clamped at 0),
// computed with the residual slack below and moved outwards by 2^-40 to
// cover the square root and its product.
//
// Euclidean. The exact kernel returns d = sqrt(Sk) rounded, Sk the computed
// sum of squared differences, and Sk >= |y|^2 (1 - g(dim + 2)). Let sigma
// be the computed s_q - s_x and Ss its computed sum of squares: with
// t = |q| + |x| <= nu_q + nu_x, |By| >= |sigma| - (1.03 u + delta) t, and
// (a - b)^2 >= a^2 - 2ab for a, b >= 0, (3) gives
//   Sk >= Ss + gap^2 - (1.1 eps + 1.1 g(m) + 2.1 delta + 6.2 u + g(dim+2)) t^2
// where gap = max(0, rlo_q - rhi_x, rlo_x - rhi_q). The bound is
//   lb = Ss + gap^2 - eta_e (nu_q + nu_x)^2,
//   eta_e = 4 (eps + g(m) + delta + g(dim + 2)) + 32 u,
// and a row is ruled out when lb >= euclidean_bound(worst): then
// Sk >= euclidean_bound(worst), so d >= worst (the rounded square root is
// monotone), and d does not rank before worst.
//
// Inner product. The kernel's d is within g(dim) |q||x| of q.x. By (1),
// |(Bq)'E(Bx)| <= 1.01 eps |q||x|, r_q.r_x >= -rhi_q rhi_x, and the computed
// dot product P of the two records is within (3 delta + 2 g(m)) |q||x| of
// (Bq).(Bx). So
//   lb = P - rhi_q rhi_x - eta_ip nu_q nu_x,
//   eta_ip = 2 (2 eps + 3 delta + 2 g(m) + g(dim)) + 16 u,
// and lb >= worst proves d >= worst.
//
// Cosine. Both norms are nonzero (a zero vector gets no record). The
// kernel's d = dot / (sqrt(A) sqrt(B)) is within 8 g(dim) of the true cosine
// c (each of dot, the two square roots, their product and the quotient errs
// relatively by at most g(dim), and |c| <= 1). With X = P - rhi_q rhi_x,
// c >= X / (|q||x|) - (2 eps + 3 delta + 2 g(m)), and replacing |q||x| by
// nu_q nu_x (relative excess at most 3 g(dim) + 2 u + 2^-40 each) costs
// nothing when X >= 0 and at most 6.3 (3 g(dim) + 2 u + 2^-40) otherwise,
// since |X| <= 2.1 |q||x|. So
//   lb = X / (nu_q nu_x) - eta_cos,
//   eta_cos = 2 (2 eps + 3 delta + 2 g(m) + 27 g(dim) + 7 2^-40) + 32 u,
// and lb >= worst proves d >= worst.
//
// A NaN anywhere (an unusable record, a NaN or infinite worst) makes lb or
// the threshold NaN, and "lb >= threshold" is then false: nothing is ruled
// out that was not proven.
//
// Codes (euclidean only). The grid is a centre c and a step s, doubles with
// 2^-400 <= s <= 2^400, fitted to the range of the sample with room to
// spare; the code of a value v is k = round(t), t = fl(fl(v - c) / s), kept
// only when |t| <= 127 (a vector with any other value, or a non-finite one,
// has no codes). Write a = fl(v - c). Then |a - (v - c)| <= u |v - c| (a
// subtraction, exact when the result is subnormal), |t - a / s| <= u |t| +
// 2^-1074, so |a / s| <= 128 and |v - c| <= 129 s, and |t - k| <= 1/2. So
//   |v - (c + k s)| <= |v - c - a| + s |a / s - t| + s |t - k|
//                   <= s (1/2 + 129 u + 128 u + 2^-1074) <= s (1/2 + 2^-44).
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
// division loses only its rounding. Codes past the dimension are 0 in the row
// and the query, so they add max(0, -1)^2 = 0.
#include "sketch/sketch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

// SSE2 is part of every x86-64 processor; elsewhere the same sums are
// written out lane by lane.
#if defined(__SSE2__)
#include <emmintrin.h>
#define TARSIM_SKETCH_SSE2 1
#else
#define TARSIM_SKETCH_SSE2 0
#endif

namespace tarsim::sketch {
namespace {

constexpr double kU = 0x1p-53;
constexpr double kRel = 0x1p-40;
constexpr double kHuge = 0x1p250;
constexpr double kTiny = 0x1p-250;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Vectors the basis is fitted to, and rounds of subspace iteration.
constexpr std::size_t kSample = 1024;
constexpr int kRounds = 8;

double gamma(double n) { return 1.01 * n * kU / (1.0 - n * kU); }

// Deterministic pseudo-random numbers for the starting basis.
struct SplitMix {
  std::uint64_t state;
  double next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1p-53 * 2.0 - 1.0;
  }
};

// Whether bounds can be proven for a vector (see the header of this file).
bool provable(const double* x, std::size_t dim, bool nonzero) {
#if TARSIM_SKETCH_SSE2
  // Two lanes at a time: the largest magnitude, and whether any lane was
  // not at most kHuge (an infinity or a NaN included).
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d huge = _mm_set1_pd(kHuge);
  __m128d top2 = _mm_setzero_pd();
  __m128d ok2 = _mm_castsi128_pd(_mm_set1_epi64x(-1));
  std::size_t k = 0;
  for (; k + 2 <= dim; k += 2) {
    const __m128d a = _mm_andnot_pd(sign, _mm_loadu_pd(x + k));
    ok2 = _mm_and_pd(ok2, _mm_cmple_pd(a, huge));
    top2 = _mm_max_pd(a, top2);
  }
  if (_mm_movemask_pd(ok2) != 3) return false;
  double lanes[2];
  _mm_storeu_pd(lanes, top2);
  double top = std::max(lanes[0], lanes[1]);
#else
  // The largest magnitude, and whether every one is at most kHuge (false
  // for an infinity or a NaN).
  double top = 0.0;
  std::size_t k = 0;
  for (; k + 2 <= dim; k += 2) {
    for (std::size_t lane = 0; lane < 2; ++lane) {
      const double a = std::fabs(x[k + lane]);
      if (!(a <= kHuge)) return false;
      top = std::max(top, a);
    }
  }
#endif
  if (k < dim) {
    const double a = std::fabs(x[k]);
    if (!(a <= kHuge)) return false;
    top = std::max(top, a);
  }
  if (top == 0.0) return !nonzero;
  return top >= kTiny;
}

// A dot product in eight interleaved partial sums (four pairs, in the
// baseline instruction set). The sketches need no particular order of
// summation: the error bound g(n) used above holds for any order in which
// n rounded products are added.
double dot(const double* a, const double* b, std::size_t n) {
#if TARSIM_SKETCH_SSE2
  __m128d p0 = _mm_setzero_pd(), p1 = p0, p2 = p0, p3 = p0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    p0 = _mm_add_pd(p0, _mm_mul_pd(_mm_loadu_pd(a + i), _mm_loadu_pd(b + i)));
    p1 = _mm_add_pd(p1, _mm_mul_pd(_mm_loadu_pd(a + i + 2), _mm_loadu_pd(b + i + 2)));
    p2 = _mm_add_pd(p2, _mm_mul_pd(_mm_loadu_pd(a + i + 4), _mm_loadu_pd(b + i + 4)));
    p3 = _mm_add_pd(p3, _mm_mul_pd(_mm_loadu_pd(a + i + 6), _mm_loadu_pd(b + i + 6)));
  }
  double tail = 0.0;
  for (; i < n; ++i) tail = tail + a[i] * b[i];
  const __m128d sum = _mm_add_pd(_mm_add_pd(p0, p1), _mm_add_pd(p2, p3));
  double two[2];
  _mm_storeu_pd(two, sum);
  return (two[0] + two[1]) + tail;
#else
  // The same eight partial sums: p[2c + l] is lane l of pair c above.
  double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t j = 0; j < 8; ++j) p[j] = p[j] + a[i + j] * b[i + j];
  }
  double tail = 0.0;
  for (; i < n; ++i) tail = tail + a[i] * b[i];
  const double two0 = (p[0] + p[2]) + (p[4] + p[6]);
  const double two1 = (p[1] + p[3]) + (p[5] + p[7]);
  return (two0 + two1) + tail;
#endif
}

// Makes the rows of x (m x dim) orthonormal by modified Gram-Schmidt, twice
// per row; a row that is (nearly) in the span of the earlier ones is
// replaced by a random one. Returns false if no basis could be made.
bool orthonormalise(std::vector<double>& x, std::size_t m, std::size_t dim, SplitMix& rng) {
  for (std::size_t i = 0; i < m; ++i) {
    double* row = x.data() + i * dim;
    bool done = false;
    for (int attempt = 0; attempt < 8 && !done; ++attempt) {
      const double before = std::sqrt(dot(row, row, dim));
      if (std::isfinite(before) && before > 0.0) {
        for (std::size_t k = 0; k < dim; ++k) row[k] /= before;
        for (int pass = 0; pass < 2; ++pass) {
          for (std::size_t j = 0; j < i; ++j) {
            const double* other = x.data() + j * dim;
            const double c = dot(row, other, dim);
            for (std::size_t k = 0; k < dim; ++k) row[k] -= c * other[k];
          }
        }
        const double after = std::sqrt(dot(row, row, dim));
        if (std::isfinite(after) && after > 1e-6) {
          for (std::size_t k = 0; k < dim; ++k) row[k] /= after;
          done = true;
          continue;
        }
      }
      for (std::size_t k = 0; k < dim; ++k) row[k] = rng.next();
    }
    if (!done) return false;
  }
  return true;
}

}  // namespace

Sketch::Sketch(std::uint32_t dim, metrics::Metric metric, Config config)
    : config_(config), dim_(dim), metric_(metric) {}

void Sketch::update(const double* data, std::size_t n) {
  if (!config_.enabled || dim_ == 0) return;
  if (dim_ < config_.min_dim && !config_.ignore_size_rule) return;
  if (n < config_.min_rows || n == 0) return;
  const std::size_t growth = std::max<std::size_t>(config_.growth, 2);
  if (fitted_rows_ == 0 || n / growth >= fitted_rows_) {
    fit(data, n);
    return;
  }
  if (!ready()) return;
  const std::size_t have = rows();
  if (n <= have) return;
  records_.resize(n * stride());
  if (code_stride_ > 0) {
    codes_.resize(n * code_stride_);
    coded_.resize(n);
  }
  for (std::size_t id = have; id < n; ++id) {
    compute_record(data + id * dim_, records_.data() + id * stride());
    if (code_stride_ > 0) coded_[id] = encode(data + id * dim_, codes_.data() + id * code_stride_);
  }
}

void Sketch::fit(const double* data, std::size_t n) {
  fitted_rows_ = n;
  ++fits_;
  axes_ = 0;
  records_.clear();
  code_stride_ = 0;
  codes_.clear();
  coded_.clear();
  const std::size_t dim = dim_;
  std::size_t m = config_.max_axes;
  if (!config_.ignore_size_rule) {
    const std::size_t record = dim < 512 ? 8 : dim < 1024 ? 16 : 32;
    m = std::min<std::size_t>({m, record - 3, dim / 4 >= 3 ? dim / 4 - 3 : 0});
  }
  m = std::min<std::size_t>(m, dim);
  if (m == 0) return;

  // The sample: provable rows spread evenly over the index.
  std::vector<const double*> sample;
  const std::size_t want = std::min(n, kSample);
  for (std::size_t j = 0; j < want; ++j) {
    const double* row = data + (j * n / want) * dim;
    if (provable(row, dim, false)) sample.push_back(row);
  }

  // Subspace iteration on the second-moment matrix of the sample, never
  // formed: X <- orthonormalise((X S') S).
  SplitMix rng{0x5eed5eedull};
  std::vector<double> x(m * dim);
  for (double& v : x) v = rng.next();
  if (!orthonormalise(x, m, dim, rng)) return;
  std::vector<double> t(sample.size());
  std::vector<double> y(m * dim);
  for (int round = 0; round < kRounds && !sample.empty(); ++round) {
    std::fill(y.begin(), y.end(), 0.0);
    for (std::size_t i = 0; i < m; ++i) {
      const double* xi = x.data() + i * dim;
      double* yi = y.data() + i * dim;
      for (std::size_t s = 0; s < sample.size(); ++s) t[s] = dot(xi, sample[s], dim);
      for (std::size_t s = 0; s < sample.size(); ++s) {
        const double c = t[s];
        const double* row = sample[s];
        for (std::size_t k = 0; k < dim; ++k) yi[k] += c * row[k];
      }
    }
    // A row that vanished (data of lower rank) gets a fresh start.
    x.swap(y);
    if (!orthonormalise(x, m, dim, rng)) return;
  }

  // eps: |E|_2 <= |E|_F, and entry (i, j) of E is within
  // |computed G_ij - [i == j]| + g(dim) * (computed sum of |B_ik||B_jk|)
  // * (1 + g(dim)) of the truth. The sum of m^2 squares and the square root
  // err by far less than the final 2^-30.
  const double gd = gamma(static_cast<double>(dim));
  double frob = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < m; ++j) {
      const double* bi = x.data() + i * dim;
      const double* bj = x.data() + j * dim;
      double g = 0.0, a = 0.0;
      for (std::size_t k = 0; k < dim; ++k) {
        g = g + bi[k] * bj[k];
        a = a + std::fabs(bi[k]) * std::fabs(bj[k]);
      }
      const double e = std::fabs(g - (i == j ? 1.0 : 0.0)) + gd * a * (1.0 + gd);
      frob = frob + e * e;
    }
  }
  const double eps = std::sqrt(frob) * (1.0 + 0x1p-30);
  if (!(eps <= 0x1p-20)) return;

  eps_ = eps;
  axes_ = static_cast<std::uint32_t>(m);
  basis_.swap(x);
  set_margins();
  fit_grid(sample);
  records_.resize(n * stride());
  codes_.assign(n * code_stride_, 0);
  coded_.assign(code_stride_ > 0 ? n : 0, 0);
  for (std::size_t id = 0; id < n; ++id) {
    compute_record(data + id * dim, records_.data() + id * stride());
    if (code_stride_ > 0) coded_[id] = encode(data + id * dim, codes_.data() + id * code_stride_);
  }
}

void Sketch::fit_grid(const std::vector<const double*>& sample) {
  code_stride_ = 0;
  codes_.clear();
  coded_.clear();
  if (!config_.codes || metric_ != metrics::Metric::Euclidean || sample.empty()) return;
  if (dim_ > 32768 || (dim_ < 128 && !config_.ignore_size_rule)) return;
  // The sample's rows are provable: finite, at most 2^250 in magnitude.
  double lo = sample.front()[0], hi = lo;
  for (const double* row : sample) {
    for (std::size_t k = 0; k < dim_; ++k) {
      lo = std::min(lo, row[k]);
      hi = std::max(hi, row[k]);
    }
  }
  // A quarter more than the sample's range on either side, for the rows
  // that come after the fit.
  const double centre = lo / 2 + hi / 2;
  const double step = (hi / 2 - lo / 2) * 1.25 / 127;
  if (!(step >= 0x1p-400 && step <= 0x1p400) || !std::isfinite(centre)) return;
  code_centre_ = centre;
  code_step_ = step;
  code_stride_ = (std::size_t{dim_} + 63) / 64 * 64;
}

namespace {

// The codes of x on the grid (centre, step), 0 past dim up to stride; false
// (and all 0) when a value is off the grid or not finite.
bool encode_row(const double* x, std::size_t dim, std::size_t stride, double centre,
                double step, std::int8_t* out) {
  for (std::size_t k = 0; k < dim; ++k) {
    const double t = (x[k] - centre) / step;
    if (!(std::fabs(t) <= 127.0)) {
      std::fill(out, out + stride, std::int8_t{0});
      return false;
    }
    out[k] = static_cast<std::int8_t>(std::nearbyint(t));
  }
  std::fill(out + dim, out + stride, std::int8_t{0});
  return true;
}

}  // namespace

bool Sketch::encode(const double* x, std::int8_t* out) const {
  return encode_row(x, dim_, code_stride_, code_centre_, code_step_, out);
}

void Sketch::set_margins() {
  const double m = axes_;
  const double gd = gamma(dim_);
  const double gm = gamma(m);
  const double delta = 1.1 * std::sqrt(m) * gd;
  residual_slack_ = 2.0 * (1.1 * eps_ + gd + 4.0 * delta + 2.2 * gm) + 16.0 * kU;
  switch (metric_) {
    case metrics::Metric::Euclidean:
      margin_ = 4.0 * (eps_ + gm + delta + gamma(dim_ + 2.0)) + 32.0 * kU;
      break;
    case metrics::Metric::InnerProduct:
      margin_ = 2.0 * (2.0 * eps_ + 3.0 * delta + 2.0 * gm + gd) + 16.0 * kU;
      break;
    case metrics::Metric::Cosine:
      margin_ = 2.0 * (2.0 * eps_ + 3.0 * delta + 2.0 * gm + 27.0 * gd + 7.0 * kRel) + 32.0 * kU;
      break;
  }
  margin_ *= config_.margin_scale;
}

void Sketch::compute_record(const double* x, double* out) const {
  const std::size_t m = axes_;
  const std::size_t dim = dim_;
  if (!provable(x, dim, metric_ == metrics::Metric::Cosine)) {
    std::fill(out, out + m + 3, kNaN);
    return;
  }
  for (std::size_t i = 0; i < m; ++i) out[i] = dot(basis_.data() + i * dim, x, dim);
  const double norm2 = dot(x, x, dim);
  double in2 = 0.0;
  for (std::size_t i = 0; i < m; ++i) in2 = in2 + out[i] * out[i];
  const double gd = gamma(dim_);
  const double rest = norm2 - in2;
  const double slack = residual_slack_ * norm2;
  out[m] = std::sqrt(norm2) * (1.0 + 2.0 * gd + kRel);
  out[m + 1] = std::sqrt(std::max(rest - slack, 0.0)) * (1.0 - kRel);
  out[m + 2] = std::sqrt(std::max(rest + slack, 0.0)) * (1.0 + kRel);
}

void Sketch::prepare(std::span<const double> query, Query& out) const {
  out.usable = false;
  out.coded = false;
  if (!ready() || query.size() != dim_) return;
  out.record.resize(stride());
  compute_record(query.data(), out.record.data());
  out.usable = !std::isnan(out.record[axes_]);
  if (code_stride_ == 0) return;
  out.codes.resize(code_stride_);
  out.coded = encode(query.data(), out.codes.data());
}

std::int32_t Sketch::code_threshold(double worst) const {
  constexpr std::int32_t kNever = std::numeric_limits<std::int32_t>::max();
  if (code_stride_ == 0) return kNever;
  const double bound = metrics::euclidean_bound(worst);
  const double units = bound / (code_step_ * code_step_) * (1.0 + 0x1p-30) *
                       config_.code_threshold_scale;
  if (!(units < 2147483647.0)) return kNever;
  return static_cast<std::int32_t>(std::ceil(units));
}

std::size_t Sketch::code_survivors_of(const Query& query, std::int32_t threshold,
                                      const std::uint32_t* ids, std::size_t count,
                                      std::uint32_t* out) const {
  if (!query.coded || code_stride_ == 0) {
    if (out != ids) std::copy(ids, ids + count, out);
    return count;
  }
  return metrics::code_survivors(query.codes.data(), codes_.data(), code_stride_, coded_.data(),
                                 threshold, ids, count, out);
}

std::int64_t Sketch::code_sum(const Query& query, std::uint32_t id) const {
  if (!query.coded || code_stride_ == 0 || coded_[id] == 0) return -1;
  const std::int8_t* x = codes_.data() + std::size_t{id} * code_stride_;
  std::int64_t sum = 0;
  for (std::size_t k = 0; k < code_stride_; ++k) {
    const std::int64_t a = std::max<std::int64_t>(std::abs(query.codes[k] - x[k]) - 1, 0);
    sum += a * a;
  }
  return sum;
}

double Sketch::threshold(double worst) const {
  if (!std::isfinite(worst)) return kNaN;
  if (metric_ == metrics::Metric::Euclidean) return metrics::euclidean_bound(worst);
  return worst;
}

namespace {

// The bounds of `count` records into lb, as Sketch::bound computes them;
// record j starts at row_at(j). Eight records go side by side so that their
// sums run as independent chains. The euclidean scans take the same bits
// from metrics::euclidean_record_bounds, a record per SIMD lane: with its
// extra subtraction per axis the arithmetic outweighs the transposes there
// (a quarter off the exhaustive scan of the photo patches, in one process),
// while for the cosine these scalar chains are about as fast and for the
// inner product a fifth faster.
template <metrics::Metric M, class RowAt>
void bounds_of(const double* q, RowAt row_at, std::size_t m, std::size_t count, double margin,
               bool drop_tail, double* lb) {
  constexpr std::size_t R = 8;
  for (std::size_t j = 0; j < count; j += R) {
    const std::size_t rows = std::min(R, count - j);
    // Lanes past the end repeat the last record; their bounds are dropped.
    const double* x[R];
    for (std::size_t r = 0; r < R; ++r) x[r] = row_at(j + std::min(r, rows - 1));
    double acc[R] = {};
    for (std::size_t i = 0; i < m; ++i) {
      const double qi = q[i];
      for (std::size_t r = 0; r < R; ++r) {
        const double xi = x[r][i];
        if constexpr (M == metrics::Metric::Euclidean) {
          const double d = qi - xi;
          acc[r] = acc[r] + d * d;
        } else {
          acc[r] = acc[r] + qi * xi;
        }
      }
    }
    for (std::size_t r = 0; r < rows; ++r) {
      const double* n = x[r] + m;
      if constexpr (M == metrics::Metric::Euclidean) {
        const double gap = std::max({0.0, q[m + 1] - n[2], n[1] - q[m + 2]});
        const double t = q[m] + n[0];
        lb[j + r] = (acc[r] + gap * gap) - margin * (t * t);
      } else if constexpr (M == metrics::Metric::InnerProduct) {
        const double tail = drop_tail ? 0.0 : q[m + 2] * n[2];
        lb[j + r] = acc[r] - (tail + margin * (q[m] * n[0]));
      } else {
        const double tail = drop_tail ? 0.0 : q[m + 2] * n[2];
        lb[j + r] = (acc[r] - tail) / (q[m] * n[0]) - margin;
      }
    }
  }
}

template <class RowAt>
void bounds_for(metrics::Metric metric, const double* q, RowAt row_at, std::size_t m,
                std::size_t count, double margin, bool drop_tail, double* lb) {
  switch (metric) {
    case metrics::Metric::Euclidean:
      bounds_of<metrics::Metric::Euclidean>(q, row_at, m, count, margin, drop_tail, lb);
      break;
    case metrics::Metric::InnerProduct:
      bounds_of<metrics::Metric::InnerProduct>(q, row_at, m, count, margin, drop_tail, lb);
      break;
    case metrics::Metric::Cosine:
      bounds_of<metrics::Metric::Cosine>(q, row_at, m, count, margin, drop_tail, lb);
      break;
  }
}

// The bounds of `count` records into lb for the scans: record j at base +
// (ids ? ids[j] : j) * step. Euclidean ones come from the SIMD kernel, the
// others from the chains above, which ask for the lines of scattered
// records eight ahead.
void scan_bounds(metrics::Metric metric, const double* q, const double* base, std::size_t step,
                 const std::uint32_t* ids, std::size_t count, std::size_t m, double margin,
                 bool drop_tail, double* lb) {
  if (metric == metrics::Metric::Euclidean) {
    metrics::euclidean_record_bounds(q, base, step, m, ids, count, margin, lb);
    return;
  }
  if (ids == nullptr) {
    bounds_for(metric, q, [base, step](std::size_t j) { return base + j * step; }, m, count,
               margin, drop_tail, lb);
    return;
  }
  auto row_at = [base, step, ids, count](std::size_t j) {
    if (j % 8 == 0) {
      for (std::size_t r = j + 8; r < std::min(j + 16, count); ++r) {
        const double* next = base + std::size_t{ids[r]} * step;
        __builtin_prefetch(next, 0, 3);
        __builtin_prefetch(next + step - 1, 0, 3);
      }
    }
    return base + std::size_t{ids[j]} * step;
  };
  bounds_for(metric, q, row_at, m, count, margin, drop_tail, lb);
}

// Bounds are computed in pieces of this many rows into a buffer.
constexpr std::size_t kPiece = 256;

}  // namespace

bool enabled_by_environment() {
  static const bool on = [] {
    const char* value = std::getenv("TARSIM_BOUNDS");
    return value == nullptr || std::strcmp(value, "off") != 0;
  }();
  return on;
}

double Sketch::bound(const Query& query, std::uint32_t id) const {
  double lb = kNaN;
  const double* x = record(id);
  bounds_for(metric_, query.record.data(), [x](std::size_t) { return x; }, axes_, 1, margin_,
             config_.drop_tail, &lb);
  return lb;
}

bool Sketch::may_enter(const Query& query, double threshold, std::uint32_t id) const {
  return !(bound(query, id) >= threshold);
}

std::size_t Sketch::survivors(const Query& query, double threshold, std::size_t begin,
                              std::size_t count, std::uint32_t* ids) const {
  double lb[kPiece];
  std::size_t live = 0;
  for (std::size_t at = 0; at < count; at += kPiece) {
    const std::size_t piece = std::min(kPiece, count - at);
    scan_bounds(metric_, query.record.data(), record(begin + at), stride(), nullptr, piece, axes_,
                margin_, config_.drop_tail, lb);
    for (std::size_t j = 0; j < piece; ++j) {
      ids[live] = static_cast<std::uint32_t>(begin + at + j);
      live += !(lb[j] >= threshold);
    }
  }
  return live;
}

std::size_t Sketch::survivors_of(const Query& query, double threshold, const std::uint32_t* ids,
                                 std::size_t count, std::uint32_t* out) const {
  double lb[kPiece];
  std::size_t live = 0;
  for (std::size_t at = 0; at < count; at += kPiece) {
    const std::size_t piece = std::min(kPiece, count - at);
    const std::uint32_t* piece_ids = ids + at;
    scan_bounds(metric_, query.record.data(), records_.data(), stride(), piece_ids, piece, axes_,
                margin_, config_.drop_tail, lb);
    // Every id of the piece was read above, so out may overwrite ids here.
    for (std::size_t j = 0; j < piece; ++j) {
      out[live] = piece_ids[j];
      live += !(lb[j] >= threshold);
    }
  }
  return live;
}

}  // namespace tarsim::sketch
