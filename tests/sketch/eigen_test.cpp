// The eigenvectors behind the axis codes: the bounds hold for any nearly
// orthonormal basis, but the codes only pay when the first axes carry the
// most spread.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "sketch/eigen.hpp"

namespace tarsim::sketch {
namespace {

// A = Q diag(values) Q' for a random orthonormal Q: the rows that come back
// are the columns of Q in the order of the values, up to sign.
TEST(Eigen, RecoversAxesInOrderOfTheirValues) {
  const std::size_t n = 70;
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal;
  std::vector<double> q(n * n);
  for (double& v : q) v = normal(rng);
  // Gram-Schmidt on the rows of q.
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      double c = 0.0;
      for (std::size_t k = 0; k < n; ++k) c += q[i * n + k] * q[j * n + k];
      for (std::size_t k = 0; k < n; ++k) q[i * n + k] -= c * q[j * n + k];
    }
    double norm = 0.0;
    for (std::size_t k = 0; k < n; ++k) norm += q[i * n + k] * q[i * n + k];
    for (std::size_t k = 0; k < n; ++k) q[i * n + k] /= std::sqrt(norm);
  }
  // Row r of q gets the value n - r.
  std::vector<double> a(n * n, 0.0);
  for (std::size_t r = 0; r < n; ++r) {
    const double value = static_cast<double>(n - r);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < n; ++k) a[j * n + k] += value * q[r * n + j] * q[r * n + k];
    }
  }
  std::vector<double> vectors;
  ASSERT_TRUE(eigen::symmetric(a, n, vectors));
  for (std::size_t r = 0; r < n; ++r) {
    double dot = 0.0;
    for (std::size_t k = 0; k < n; ++k) dot += vectors[r * n + k] * q[r * n + k];
    EXPECT_NEAR(std::fabs(dot), 1.0, 1e-9) << "axis " << r;
  }
}

}  // namespace
}  // namespace tarsim::sketch
