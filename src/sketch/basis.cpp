// The fit of the basis: subspace iteration on the sample's second moments,
// then a proof of how nearly orthonormal the computed rows are.
#include "sketch/basis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "metrics/metrics.hpp"
#include "sketch/records.hpp"

namespace tarsim::sketch::basis {
namespace {

// Vectors the basis is fitted to, and rounds of subspace iteration.
constexpr std::size_t kSample = 1024;
constexpr int kRounds = 8;

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

// The fit needs no particular order of summation: the bounds hold for
// whatever basis it produces, and eps is proven for the rows as computed.
double dot(const double* a, const double* b, std::size_t n) {
  return metrics::dot_eightfold(a, b, n);
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

// Subspace iteration on the second-moment matrix S of the sample, never
// formed: X <- orthonormalise((X S') S), from random rows.
bool iterate(const std::vector<const double*>& sample, std::size_t m, std::size_t dim,
             std::vector<double>& x) {
  SplitMix rng{0x5eed5eedull};
  x.assign(m * dim, 0.0);
  for (double& v : x) v = rng.next();
  if (!orthonormalise(x, m, dim, rng)) return false;
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
    if (!orthonormalise(x, m, dim, rng)) return false;
  }
  return true;
}

}  // namespace

// eps for the rows of x: |E|_2 <= |E|_F, and entry (i, j) of E is within
// |computed G_ij - [i == j]| + g(dim) * (computed sum of |B_ik||B_jk|)
// * (1 + g(dim)) of the truth. The sum of m^2 squares and the square root
// err by far less than the final 2^-30.
double orthogonality_error(const std::vector<double>& x, std::size_t m, std::size_t dim) {
  const double gd = records::gamma(static_cast<double>(dim));
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
  return std::sqrt(frob) * (1.0 + 0x1p-30);
}

std::size_t axes_for(const Config& config, std::size_t dim) {
  std::size_t m = config.max_axes;
  if (size_rules(config)) {
    const std::size_t record = dim < 512 ? 8 : dim < 1024 ? 16 : 32;
    m = std::min<std::size_t>({m, record - 3, dim / 4 >= 3 ? dim / 4 - 3 : 0});
  }
  return std::min<std::size_t>(m, dim);
}

std::vector<const double*> sample(const double* data, std::size_t n, std::size_t dim) {
  std::vector<const double*> rows;
  const std::size_t want = std::min(n, kSample);
  for (std::size_t j = 0; j < want; ++j) {
    const double* row = data + (j * n / want) * dim;
    if (records::provable(row, dim, false)) rows.push_back(row);
  }
  return rows;
}

bool fit(const std::vector<const double*>& sample, std::size_t m, std::size_t dim, Basis& out) {
  std::vector<double> x;
  if (!iterate(sample, m, dim, x)) return false;
  const double eps = orthogonality_error(x, m, dim);
  if (!(eps <= 0x1p-20)) return false;
  out.rows.swap(x);
  out.eps = eps;
  return true;
}

}  // namespace tarsim::sketch::basis
