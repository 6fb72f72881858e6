// Householder reduction to tridiagonal form, then the QL iteration with
// implicit shifts, accumulating the transformations.
#include "sketch/eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tarsim::sketch::eigen {
namespace {

using Index = std::ptrdiff_t;

// Reduces a (n x n, row-major) to tridiagonal form T = Q' A Q: d the
// diagonal, e the subdiagonal (e[i] couples i - 1 and i, e[0] = 0), and a
// overwritten with Q.
void householder(std::vector<double>& a, Index n, std::vector<double>& d,
                 std::vector<double>& e) {
  auto at = [&](Index i, Index j) -> double& { return a[static_cast<std::size_t>(i * n + j)]; };
  for (Index i = n - 1; i > 0; --i) {
    const Index l = i - 1;
    double h = 0.0;
    double scale = 0.0;
    for (Index k = 0; k <= l; ++k) scale += std::fabs(at(i, k));
    if (l == 0 || scale == 0.0) {
      e[i] = at(i, l);
    } else {
      for (Index k = 0; k <= l; ++k) {
        at(i, k) /= scale;
        h += at(i, k) * at(i, k);
      }
      double f = at(i, l);
      double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
      e[i] = scale * g;
      h -= f * g;
      at(i, l) = f - g;
      f = 0.0;
      for (Index j = 0; j <= l; ++j) {
        at(j, i) = at(i, j) / h;
        g = 0.0;
        for (Index k = 0; k <= j; ++k) g += at(j, k) * at(i, k);
        for (Index k = j + 1; k <= l; ++k) g += at(k, j) * at(i, k);
        e[j] = g / h;
        f += e[j] * at(i, j);
      }
      const double hh = f / (h + h);
      for (Index j = 0; j <= l; ++j) {
        f = at(i, j);
        e[j] = g = e[j] - hh * f;
        for (Index k = 0; k <= j; ++k) at(j, k) -= f * e[k] + g * at(i, k);
      }
    }
    d[i] = h;
  }
  d[0] = 0.0;
  e[0] = 0.0;
  // Accumulates Q in place.
  for (Index i = 0; i < n; ++i) {
    const Index l = i - 1;
    if (d[i] != 0.0) {
      for (Index j = 0; j <= l; ++j) {
        double g = 0.0;
        for (Index k = 0; k <= l; ++k) g += at(i, k) * at(k, j);
        for (Index k = 0; k <= l; ++k) at(k, j) -= g * at(k, i);
      }
    }
    d[i] = at(i, i);
    at(i, i) = 1.0;
    for (Index j = 0; j <= l; ++j) at(j, i) = at(i, j) = 0.0;
  }
}

// One implicit QL step on the unreduced block l .. m of (d, e); the
// rotations are applied to the rows of z (z[i] is column i of Q). A
// rotation that vanishes splits the block, which the next step takes up.
void ql_step(std::vector<double>& d, std::vector<double>& e, std::vector<double>& z, Index n,
             Index l, Index m) {
  double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
  double r = std::hypot(g, 1.0);
  g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
  double s = 1.0, c = 1.0, p = 0.0;
  Index i = m - 1;
  for (; i >= l; --i) {
    double f = s * e[i];
    const double b = c * e[i];
    e[i + 1] = r = std::hypot(f, g);
    if (r == 0.0) {
      d[i + 1] -= p;
      e[m] = 0.0;
      break;
    }
    s = f / r;
    c = g / r;
    g = d[i + 1] - p;
    r = (d[i] - g) * s + 2.0 * c * b;
    d[i + 1] = g + (p = s * r);
    g = c * r - b;
    double* zi = z.data() + i * n;
    double* zj = zi + n;
    for (Index k = 0; k < n; ++k) {
      f = zj[k];
      zj[k] = s * zi[k] + c * f;
      zi[k] = c * zi[k] - s * f;
    }
  }
  if (r == 0.0 && i >= l) return;
  d[l] -= p;
  e[l] = g;
  e[m] = 0.0;
}

bool ql(std::vector<double>& d, std::vector<double>& e, std::vector<double>& z, Index n) {
  for (Index i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0.0;
  for (Index l = 0; l < n; ++l) {
    for (int iter = 0;; ++iter) {
      Index m = l;
      for (; m < n - 1; ++m) {
        const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
        if (std::fabs(e[m]) <= 0x1p-52 * dd) break;
      }
      if (m == l) break;
      if (iter == 60 || !std::isfinite(e[l])) return false;
      ql_step(d, e, z, n, l, m);
    }
  }
  return true;
}

}  // namespace

bool symmetric(std::vector<double>& a, std::size_t n, std::vector<double>& vectors) {
  vectors.assign(n * n, 0.0);
  if (n == 0) return true;
  const Index size = static_cast<Index>(n);
  std::vector<double> d(n), e(n);
  householder(a, size, d, e);
  // The rows of z are the columns of Q, which the rotations combine.
  std::vector<double> z(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < n; ++k) z[i * n + k] = a[k * n + i];
  }
  if (!ql(d, e, z, size)) return false;
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return d[x] > d[y]; });
  for (std::size_t r = 0; r < n; ++r) {
    if (!std::isfinite(d[order[r]])) return false;
    std::copy_n(z.data() + order[r] * n, n, vectors.data() + r * n);
  }
  return true;
}

}  // namespace tarsim::sketch::eigen
