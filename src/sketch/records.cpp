// The records and the bounds, each beside the argument that it is sound.
#include "sketch/records.hpp"

#include <algorithm>
#include <cmath>

namespace tarsim::sketch::records {

// Why the bounds hold. Notation: u = 2^-53 is the unit roundoff, g(n) =
// 1.01 n u / (1 - n u) bounds the relative error of a computed sum of n
// products (the usual gamma_n, inflated so that its own rounding is
// covered). B is the m x dim matrix of the basis exactly as stored (whatever
// doubles the fit produced), G = B B', E = G - I, and eps >= |E|_2 is proven
// by the fit from the computed Gram matrix (basis.cpp). For any vector v let
// r_v = v - B'Bv. Then, exactly in real arithmetic,
//   q.x   = (Bq).(Bx) - (Bq)'E(Bx) + r_q.r_x                          (1)
//   |r_v|^2 = |v|^2 - |Bv|^2 + (Bv)'E(Bv)                            (2)
//   |y|^2 = |By|^2 - (By)'E(By) + |r_y|^2 >= (1 - eps)|By|^2 + |r_y|^2 (3)
// and r_y = r_q - r_x for y = q - x, so |r_y| >= | |r_q| - |r_x| |.

double gamma(double n) { return 1.01 * n * kU / (1.0 - n * kU); }

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
bool provable(const double* x, std::size_t dim, bool nonzero) {
  const double top = metrics::magnitude_within(x, dim, kHuge);
  if (!(top <= kHuge)) return false;
  if (top == 0.0) return !nonzero;
  return top >= kTiny;
}

// Record norms. N = computed |x|^2 (relative error g(dim)), S = computed
// |s|^2. nu = sqrt(N) (1 + 2 g(dim) + 2^-40) >= |x|. By (2), |r_x|^2 lies
// within N - S +- T with T <= (g(dim) + 2.1 delta + 1.01 g(m) + 1.01 eps)
// 1.1 N, and rlo, rhi are the square roots of the two ends (clamped at 0),
// computed with the residual slack below and moved outwards by 2^-40 to
// cover the square root and its product.
void compute(const double* basis, std::size_t m, std::size_t dim, bool cosine,
             double residual_slack, const double* x, double* out) {
  if (!provable(x, dim, cosine)) {
    std::fill(out, out + m + 3, kNaN);
    return;
  }
  metrics::dot_eightfold_rows(basis, m, x, dim, out);
  const double norm2 = metrics::dot_eightfold(x, x, dim);
  double in2 = 0.0;
  for (std::size_t i = 0; i < m; ++i) in2 = in2 + out[i] * out[i];
  const double gd = gamma(static_cast<double>(dim));
  const double rest = norm2 - in2;
  const double slack = residual_slack * norm2;
  out[m] = std::sqrt(norm2) * (1.0 + 2.0 * gd + kRel);
  out[m + 1] = std::sqrt(std::max(rest - slack, 0.0)) * (1.0 - kRel);
  out[m + 2] = std::sqrt(std::max(rest + slack, 0.0)) * (1.0 + kRel);
}

// The margins. Euclidean. The exact kernel returns d = sqrt(Sk) rounded, Sk the computed
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
// monotone), and d does not rank before worst. (The kernels compute this
// bound: metrics::euclidean_record_bounds.)
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
Margins margins_for(metrics::Metric metric, std::size_t dim, std::size_t axes, double eps) {
  const double m = static_cast<double>(axes);
  const double gd = gamma(static_cast<double>(dim));
  const double gm = gamma(m);
  const double delta = 1.1 * std::sqrt(m) * gd;
  Margins out;
  out.residual_slack = 2.0 * (1.1 * eps + gd + 4.0 * delta + 2.2 * gm) + 16.0 * kU;
  switch (metric) {
    case metrics::Metric::Euclidean:
      out.margin = 4.0 * (eps + gm + delta + gamma(dim + 2.0)) + 32.0 * kU;
      break;
    case metrics::Metric::InnerProduct:
      out.margin = 2.0 * (2.0 * eps + 3.0 * delta + 2.0 * gm + gd) + 16.0 * kU;
      break;
    case metrics::Metric::Cosine:
      out.margin = 2.0 * (2.0 * eps + 3.0 * delta + 2.0 * gm + 27.0 * gd + 7.0 * kRel) + 32.0 * kU;
      break;
  }
  return out;
}

namespace {

// The inner product and cosine bounds of `count` records into lb, record j
// at row_at(j). Eight records go side by side so that their sums run as
// independent chains. (The euclidean bounds, with an extra subtraction per
// axis, come from the kernels, a record per SIMD lane.)
template <metrics::Metric M, class RowAt>
void product_bounds(const double* q, RowAt row_at, std::size_t m, std::size_t count,
                    double margin, double* lb) {
  static_assert(M != metrics::Metric::Euclidean);
  constexpr std::size_t R = 8;
  for (std::size_t j = 0; j < count; j += R) {
    const std::size_t rows = std::min(R, count - j);
    // Lanes past the end repeat the last record; their bounds are dropped.
    const double* x[R];
    for (std::size_t r = 0; r < R; ++r) x[r] = row_at(j + std::min(r, rows - 1));
    double acc[R] = {};
    for (std::size_t i = 0; i < m; ++i) {
      const double qi = q[i];
      for (std::size_t r = 0; r < R; ++r) acc[r] = acc[r] + qi * x[r][i];
    }
    for (std::size_t r = 0; r < rows; ++r) {
      const double* n = x[r] + m;
      const double tail = q[m + 2] * n[2];
      if constexpr (M == metrics::Metric::InnerProduct) {
        lb[j + r] = acc[r] - (tail + margin * (q[m] * n[0]));
      } else {
        lb[j + r] = (acc[r] - tail) / (q[m] * n[0]) - margin;
      }
    }
  }
}

template <metrics::Metric M>
void product_bounds_of(const double* q, const double* base, std::size_t stride,
                       const std::uint32_t* ids, std::size_t count, std::size_t m, double margin,
                       double* lb) {
  if (ids == nullptr) {
    product_bounds<M>(q, [base, stride](std::size_t j) { return base + j * stride; }, m, count,
                      margin, lb);
    return;
  }
  // Scattered records: the lines of those eight ahead are asked for.
  auto row_at = [base, stride, ids, count](std::size_t j) {
    if (j % 8 == 0) {
      for (std::size_t r = j + 8; r < std::min(j + 16, count); ++r) {
        const double* next = base + std::size_t{ids[r]} * stride;
        __builtin_prefetch(next, 0, 3);
        __builtin_prefetch(next + stride - 1, 0, 3);
      }
    }
    return base + std::size_t{ids[j]} * stride;
  };
  product_bounds<M>(q, row_at, m, count, margin, lb);
}

}  // namespace

// A NaN anywhere (an unusable record, a NaN or infinite worst) makes lb or
// the threshold NaN, and "lb >= threshold" is then false: nothing is ruled
// out that was not proven.
void bounds(metrics::Metric metric, const double* q, const double* base, std::size_t stride,
            const std::uint32_t* ids, std::size_t count, std::size_t m, double margin,
            double* lb) {
  switch (metric) {
    case metrics::Metric::Euclidean:
      metrics::euclidean_record_bounds(q, base, stride, m, ids, count, margin, lb);
      return;
    case metrics::Metric::InnerProduct:
      product_bounds_of<metrics::Metric::InnerProduct>(q, base, stride, ids, count, m, margin, lb);
      return;
    case metrics::Metric::Cosine:
      product_bounds_of<metrics::Metric::Cosine>(q, base, stride, ids, count, m, margin, lb);
      return;
  }
}

}  // namespace tarsim::sketch::records
