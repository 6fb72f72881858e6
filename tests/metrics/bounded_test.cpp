// The early-abandoning euclidean kernels: the bound derived from a limit, and
// every path the processor can run against the scalar distance. A value that
// is handed back must be the exact distance to the bit; a vector may only be
// given up when its complete sum of squares is NaN or not below the bound.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "metrics/metrics.hpp"
#include "metrics/simd.hpp"
#include "paths.hpp"

namespace tarsim::metrics {
namespace {

using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The sequential sum of squared differences over the common positions: what
// euclidean_distance takes the root of.
double sum_of_squares(const V& query, const double* row, std::size_t dim) {
  const std::size_t n = std::min(query.size(), dim);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = query[i] - row[i];
    sum = sum + d * d;
  }
  return sum;
}

TEST(EuclideanBound, SmallestSumWhoseRootReachesTheLimit) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-1074, 1023);
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    double limit = std::ldexp(mantissa(rng), exponent(rng));
    if (i % 3 == 0) limit = std::ldexp(mantissa(rng), exponent(rng) / 8);  // common magnitudes
    if (limit == 0.0 || std::isinf(limit)) continue;
    const double b = euclidean_bound(limit);
    ASSERT_GE(std::sqrt(b), limit) << "limit " << limit;
    if (b > 0.0 && !std::isinf(b)) {
      ASSERT_LT(std::sqrt(std::nextafter(b, 0.0)), limit) << "limit " << limit << " not smallest";
    }
    ++checked;
  }
  EXPECT_GT(checked, 190000);
}

TEST(EuclideanBound, SpecialLimits) {
  EXPECT_EQ(bits(euclidean_bound(0.0)), bits(0.0));
  EXPECT_EQ(bits(euclidean_bound(-0.0)), bits(0.0));
  EXPECT_EQ(bits(euclidean_bound(-3.0)), bits(0.0));
  EXPECT_EQ(euclidean_bound(-kInf), 0.0);
  EXPECT_EQ(euclidean_bound(kInf), kInf);
  EXPECT_TRUE(std::isnan(euclidean_bound(kNaN)));
  // The root of the double just below 25 still rounds to 5: the bound lies
  // below the rounded square of the limit.
  EXPECT_LT(euclidean_bound(5.0), 25.0);
  EXPECT_EQ(std::sqrt(euclidean_bound(5.0)), 5.0);
  // The smallest subnormal sum already has a root far above tiny limits.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(euclidean_bound(tiny), tiny);
  EXPECT_EQ(euclidean_bound(1e-170), tiny);
  // Above the root of the largest double no finite sum qualifies.
  const double top = std::sqrt(std::numeric_limits<double>::max());
  EXPECT_EQ(euclidean_bound(std::nextafter(top, kInf)), kInf);
  EXPECT_GE(std::sqrt(euclidean_bound(top)), top);
  EXPECT_LT(euclidean_bound(top), kInf);
}

struct Tally {
  std::size_t exact = 0, given_up = 0;
};

// Scores `ids` with the bounded kernel on `path` and checks each value.
void check(simd::Path path, const V& query, const V& data, std::size_t dim,
           const std::vector<std::uint32_t>& ids, double bound, Tally& tally) {
  const std::string where = std::string("path ") + simd::name(path) + " dim " +
                            std::to_string(dim) + " query " + std::to_string(query.size()) +
                            " count " + std::to_string(ids.size()) + " bound " +
                            std::to_string(bound);
  V out(ids.size() + 1, 12345.0);
  // The rows listed past the count are only fetched early, never scored.
  const std::size_t listed = ids.size() + ids.size() / 3;
  std::vector<std::uint32_t> padded = ids;
  for (std::size_t i = ids.size(); i < listed; ++i) padded.push_back(ids[i % ids.size()]);
  simd::euclidean_rows_bounded(path, query, data.data(), dim, padded.data(), ids.size(), listed,
                               bound, out.data());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const double* row = data.data() + std::size_t{ids[i]} * dim;
    const double exact = euclidean_distance(query, Vec(row, dim));
    const double sum = sum_of_squares(query, row, dim);
    if (bits(out[i]) == bits(exact) || (std::isnan(exact) && std::isnan(out[i]))) {
      ++tally.exact;
      continue;
    }
    // Anything else must be a vector given up for a reason.
    ASSERT_EQ(out[i], kInf) << where << " vector " << i << ": got " << out[i] << ", exact "
                            << exact;
    ASSERT_TRUE(std::isnan(sum) || !(sum < bound))
        << where << " vector " << i << " given up with a sum of squares " << sum;
    ++tally.given_up;
  }
  EXPECT_EQ(out[ids.size()], 12345.0) << where << ": wrote past the end";
}

TEST(EuclideanBounded, EveryPathIsExactOrGivesUpOnlyPastTheBound) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal(0.0, 1.0);
  Tally tally;
  for (std::size_t dim : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 64u, 128u, 131u}) {
    const std::size_t stored = 60;
    V data(stored * dim);
    // Two clusters, so that some rows are near the query and some far.
    for (std::size_t r = 0; r < stored; ++r) {
      const double centre = r % 3 == 0 ? 0.0 : 4.0;
      for (std::size_t c = 0; c < dim; ++c) data[r * dim + c] = centre + normal(rng);
    }
    for (int round = 0; round < 30; ++round) {
      std::size_t qlen = dim;
      if (round % 5 == 1) qlen = dim + 2;
      if (round % 5 == 2 && dim > 0) qlen = dim - 1;
      V query(qlen);
      for (double& x : query) x = normal(rng);
      const std::size_t count = rng() % 50;
      std::vector<std::uint32_t> ids(count);
      for (auto& id : ids) id = static_cast<std::uint32_t>(rng() % stored);
      // A bound taken from a real row's sum, so that it splits the rows.
      double bound = sum_of_squares(query, data.data() + (rng() % stored) * dim, dim);
      if (round % 7 == 0) bound = 0.0;
      if (round % 7 == 1) bound = kInf;
      if (round % 7 == 2) bound = kNaN;
      for (simd::Path path : runnable_paths()) {
        check(path, query, data, dim, ids, bound, tally);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
  EXPECT_GT(tally.given_up, 1000u);
  EXPECT_GT(tally.exact, 1000u);
}

TEST(EuclideanBounded, SpecialValues) {
  // NaN, infinities and signed zeros in the stored rows and the query; a NaN
  // or infinite sum may be given up, a finite one below the bound may not.
  const std::size_t dim = 70;
  const double specials[] = {0.0, -0.0, 1.0, -2.5, 1e300, -1e300, kInf, -kInf, kNaN, 1e-310};
  std::mt19937_64 rng(9);
  V data(40 * dim);
  for (double& x : data) x = specials[rng() % 10];
  Tally tally;
  for (int round = 0; round < 200; ++round) {
    V query(dim);
    for (double& x : query) x = rng() % 4 == 0 ? specials[rng() % 10] : 0.5;
    std::vector<std::uint32_t> ids(1 + rng() % 40);
    for (auto& id : ids) id = static_cast<std::uint32_t>(rng() % 40);
    const double bound = round % 3 == 0 ? kInf : (round % 3 == 1 ? 4.0 : 1e301);
    for (simd::Path path : runnable_paths()) {
      check(path, query, data, dim, ids, bound, tally);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_GT(tally.given_up, 0u);
}

TEST(EuclideanBounded, GivesUpFarGroupsAndKeepsNearOnes) {
  // Row r holds r at every position, the query zeros: row r's sum of squares
  // ends at r * r * 40, and row 9's passes 1000 after 13 positions.
  const std::size_t dim = 40;
  V data(10 * dim);
  for (std::size_t r = 0; r < 10; ++r) {
    for (std::size_t c = 0; c < dim; ++c) data[r * dim + c] = static_cast<double>(r);
  }
  const V query(dim, 0.0);
  for (simd::Path path : runnable_paths()) {
    // All far: row 9 passes 1000 long before the end, so every row is given up.
    std::vector<std::uint32_t> far(16, 9);
    V out(far.size());
    simd::euclidean_rows_bounded(path, query, data.data(), dim, far.data(), far.size(),
                                 far.size(), 1000.0, out.data());
    for (double d : out) EXPECT_EQ(d, kInf) << simd::name(path);
    // Rows 0..4 end below 1000 and must come back exact, whatever their
    // neighbours in the batch do.
    std::vector<std::uint32_t> mixed = {9, 0, 8, 1, 7, 2, 9, 3, 9, 4, 9, 9};
    out.assign(mixed.size(), 0.0);
    simd::euclidean_rows_bounded(path, query, data.data(), dim, mixed.data(), mixed.size(), 0,
                                 1000.0, out.data());
    for (std::size_t i = 0; i < mixed.size(); ++i) {
      const double exact = euclidean_distance(query, Vec(data.data() + mixed[i] * dim, dim));
      if (mixed[i] <= 4) {
        EXPECT_EQ(bits(out[i]), bits(exact)) << simd::name(path) << " at " << i;
      } else {
        EXPECT_TRUE(out[i] == kInf || bits(out[i]) == bits(exact)) << simd::name(path);
      }
    }
  }
}

}  // namespace
}  // namespace tarsim::metrics
