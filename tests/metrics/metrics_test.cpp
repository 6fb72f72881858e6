#include "metrics/metrics.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "metrics/simd.hpp"
#include "paths.hpp"

namespace tarsim::metrics {
namespace {

using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Expected values are compared bit for bit: the metrics promise exact results.
#define EXPECT_SAME_BITS(expected, actual) \
  EXPECT_EQ(bits(expected), bits(actual)) << "expected " << (expected) << ", got " << (actual)

TEST(Metrics, EuclideanDistance) {
  EXPECT_SAME_BITS(5.0, euclidean_distance(V{0, 0}, V{3, 4}));
  EXPECT_SAME_BITS(0.0, euclidean_distance(V{1.5, -2, 7}, V{1.5, -2, 7}));
  // Only the common positions count, whichever side is longer.
  EXPECT_SAME_BITS(0.0, euclidean_distance(V{1, 2, 3}, V{1, 2}));
  EXPECT_SAME_BITS(0.0, euclidean_distance(V{1, 2}, V{1, 2, 3}));
  EXPECT_SAME_BITS(0.0, euclidean_distance(V{}, V{}));
  EXPECT_SAME_BITS(0.0, euclidean_distance(V{}, V{1, 2}));
  // The root is taken: a distance, not its square.
  EXPECT_SAME_BITS(std::sqrt(2.0), euclidean_distance(V{0, 0}, V{1, 1}));
  EXPECT_TRUE(std::isnan(euclidean_distance(V{kNaN}, V{1})));
  EXPECT_SAME_BITS(kInf, euclidean_distance(V{kInf}, V{1}));
  EXPECT_TRUE(std::isnan(euclidean_distance(V{kInf}, V{kInf})));  // inf - inf
  EXPECT_SAME_BITS(kInf, euclidean_distance(V{1e200}, V{-1e200}));  // square overflows
}

TEST(Metrics, DotProduct) {
  EXPECT_SAME_BITS(32.0, dot_product(V{1, 2, 3}, V{4, 5, 6}));
  EXPECT_SAME_BITS(5.0, dot_product(V{1, 2, 3}, V{1, 2}));
  EXPECT_SAME_BITS(5.0, dot_product(V{1, 2}, V{1, 2, 3}));
  EXPECT_SAME_BITS(0.0, dot_product(V{}, V{}));
  EXPECT_SAME_BITS(-32.0, dot_product(V{-1, -2, -3}, V{4, 5, 6}));
  // The sum starts at +0.0, so even negative zero products give +0.0.
  EXPECT_SAME_BITS(0.0, dot_product(V{-0.0, 0.0}, V{1, -1}));
  EXPECT_TRUE(std::isnan(dot_product(V{kInf, -kInf}, V{1, 1})));
  EXPECT_TRUE(std::isnan(dot_product(V{kInf}, V{0})));
}

TEST(Metrics, DotProductSumsInPositionOrder) {
  // 1e16 + 1 + 1 rounds back to 1e16 at each step; any other grouping of the
  // same terms (1 + 1 first) would give 1e16 + 2.
  EXPECT_SAME_BITS(1e16, dot_product(V{1e16, 1, 1}, V{1, 1, 1}));
  EXPECT_SAME_BITS(1e16 + 2, dot_product(V{1, 1, 1e16}, V{1, 1, 1}));
}

TEST(Metrics, CosineSimilarity) {
  EXPECT_SAME_BITS(1.0, cosine_similarity(V{3, 4}, V{3, 4}));
  EXPECT_SAME_BITS(0.0, cosine_similarity(V{1, 0}, V{0, 1}));
  EXPECT_SAME_BITS(-1.0, cosine_similarity(V{1, 0}, V{-1, 0}));
  // No rounding up to 1 and no clamping.
  EXPECT_SAME_BITS(0.9999999999999998, cosine_similarity(V{1, 2}, V{2, 4}));
  // Each norm covers its own vector's full length.
  EXPECT_SAME_BITS(0.7071067811865475, cosine_similarity(V{1, 1}, V{1}));
  EXPECT_SAME_BITS(0.6, cosine_similarity(V{3, 4}, V{3}));
  EXPECT_SAME_BITS(0.6, cosine_similarity(V{3}, V{3, 4}));
}

TEST(Metrics, CosineSpecialValues) {
  EXPECT_TRUE(std::isnan(cosine_similarity(V{0, 0}, V{1, 2})));  // zero vector: 0 / 0
  EXPECT_TRUE(std::isnan(cosine_similarity(V{1, 2}, V{0, 0})));
  EXPECT_TRUE(std::isnan(cosine_similarity(V{}, V{})));
  EXPECT_TRUE(std::isnan(cosine_similarity(V{}, V{1})));
  // Squares that underflow to zero with a non-zero dot: a zero norm divides a
  // non-zero value.
  EXPECT_SAME_BITS(kInf, cosine_similarity(V{1e-170}, V{1e150}));
  EXPECT_SAME_BITS(-kInf, cosine_similarity(V{-1e-170}, V{1e150}));
  // An infinite norm: a finite dot becomes a signed zero.
  EXPECT_SAME_BITS(-0.0, cosine_similarity(V{1e300, 1}, V{0, -1}));
  EXPECT_SAME_BITS(0.0, cosine_similarity(V{1e300, 1}, V{0, 1}));
  EXPECT_TRUE(std::isnan(cosine_similarity(V{kNaN, 1}, V{1, 1})));
}

TEST(Metrics, ArgumentsCommute) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-10, 10);
  for (int round = 0; round < 200; ++round) {
    V a(rng() % 9), b(rng() % 9);
    for (double& x : a) x = value(rng);
    for (double& x : b) x = value(rng);
    EXPECT_SAME_BITS(euclidean_distance(a, b), euclidean_distance(b, a));
    EXPECT_SAME_BITS(dot_product(a, b), dot_product(b, a));
    const double c1 = cosine_similarity(a, b), c2 = cosine_similarity(b, a);
    if (std::isnan(c1)) {
      EXPECT_TRUE(std::isnan(c2));
    } else {
      EXPECT_SAME_BITS(c1, c2);
    }
  }
}

TEST(Metrics, FunctionOf) {
  EXPECT_EQ(function_of(Metric::Euclidean), &euclidean_distance);
  EXPECT_EQ(function_of(Metric::InnerProduct), &dot_product);
  EXPECT_EQ(function_of(Metric::Cosine), &cosine_similarity);
}

TEST(DistanceOrder, NumbersThenNaN) {
  const double nan2 = -std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(ranks_before(-kInf, -1.0));
  EXPECT_TRUE(ranks_before(1.0, 2.0));
  EXPECT_FALSE(ranks_before(2.0, 1.0));
  EXPECT_TRUE(ranks_before(1e308, kInf));
  EXPECT_TRUE(ranks_before(kInf, kNaN));
  EXPECT_TRUE(ranks_before(-kInf, nan2));
  EXPECT_FALSE(ranks_before(kNaN, kInf));
  EXPECT_FALSE(ranks_before(kNaN, nan2));
  EXPECT_FALSE(ranks_before(nan2, kNaN));
  EXPECT_FALSE(ranks_before(1.0, 1.0));

  EXPECT_TRUE(ranks_equal(kNaN, nan2));
  EXPECT_TRUE(ranks_equal(kInf, kInf));
  EXPECT_FALSE(ranks_equal(kNaN, kInf));
  EXPECT_FALSE(ranks_equal(1.0, kNaN));
  EXPECT_FALSE(ranks_equal(1.0, 2.0));
}

TEST(DistanceOrder, SignedZerosAreEqual) {
  EXPECT_TRUE(ranks_equal(-0.0, 0.0));
  EXPECT_TRUE(ranks_equal(0.0, -0.0));
  EXPECT_FALSE(ranks_before(-0.0, 0.0));
  EXPECT_FALSE(ranks_before(0.0, -0.0));
  EXPECT_TRUE(ranks_before(-0.0, 1e-300));
  EXPECT_TRUE(ranks_before(-1e-300, 0.0));
}

// ---------------------------------------------------------------------------
// The multi-vector kernels, every path the processor can run, against the
// scalar functions.

constexpr Metric kMetrics[] = {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine};

std::string describe(simd::Path path, Metric metric, std::size_t dim, std::size_t query_len,
                     std::size_t count) {
  return std::string("path ") + simd::name(path) + " metric " +
         std::to_string(static_cast<int>(metric)) + " dim " + std::to_string(dim) + " query " +
         std::to_string(query_len) + " count " + std::to_string(count);
}

// Scores vectors with both entry points on `path` and checks every value
// against the scalar function, bit for bit.
// With nan_is_nan, a NaN only has to meet a NaN, whatever its bits.
void check_against_scalar(simd::Path path, Metric metric, const V& query, const V& data,
                          std::size_t dim, std::size_t count, std::mt19937_64& rng,
                          bool nan_is_nan = false) {
  auto same = [nan_is_nan](double expected, double actual) {
    if (nan_is_nan && std::isnan(expected)) return std::isnan(actual);
    return bits(expected) == bits(actual);
  };
  const DistanceFn fn = function_of(metric);
  const std::string where = describe(path, metric, dim, query.size(), count);
  V out(count + 1, 12345.0);
  simd::score_block(path, metric, query, data.data(), dim, count, out.data());
  for (std::size_t i = 0; i < count; ++i) {
    const double expected = fn(query, Vec(data.data() + i * dim, dim));
    ASSERT_TRUE(same(expected, out[i]))
        << where << " block vector " << i << ": expected " << expected << ", got " << out[i];
  }
  EXPECT_EQ(out[count], 12345.0) << where << ": wrote past the end";

  // The same block as a piece of a longer scan that may read ahead: same
  // values.
  if (count > 0 && count * dim <= data.size()) {
    V piece(count, 12345.0);
    simd::score_block(path, metric, query, data.data(), dim, count, piece.data(),
                      data.data() + data.size());
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(bits(out[i]), bits(piece[i])) << where << " piece vector " << i;
    }
  }

  // Rows in random order, with repeats.
  const std::size_t stored = dim == 0 ? count : data.size() / dim;
  std::vector<std::uint32_t> ids(count);
  for (auto& id : ids) id = stored == 0 ? 0 : static_cast<std::uint32_t>(rng() % stored);
  std::fill(out.begin(), out.end(), 12345.0);
  simd::score_rows(path, metric, query, data.data(), dim, ids.data(), count, out.data());
  for (std::size_t i = 0; i < count; ++i) {
    const double expected = fn(query, Vec(data.data() + std::size_t{ids[i]} * dim, dim));
    ASSERT_TRUE(same(expected, out[i]))
        << where << " rows vector " << i << " (id " << ids[i] << "): expected " << expected
        << ", got " << out[i];
  }
  EXPECT_EQ(out[count], 12345.0) << where << ": wrote past the end";
}

TEST(Kernels, PathsAreReported) {
  EXPECT_TRUE(simd::supported(simd::Path::Scalar));
  EXPECT_TRUE(simd::supported(simd::best()));
  EXPECT_STREQ(simd_path(), simd::name(simd::best()));
  EXPECT_STREQ(simd::name(simd::Path::Scalar), "scalar");
  EXPECT_STREQ(simd::name(simd::Path::Avx2), "avx2");
  EXPECT_STREQ(simd::name(simd::Path::Avx512), "avx512");
  EXPECT_STREQ(simd::name(simd::Path::Neon), "neon");
#if defined(__aarch64__)
  // Every aarch64 processor that Linux runs on has Advanced SIMD.
  EXPECT_TRUE(simd::supported(simd::Path::Neon));
  EXPECT_FALSE(simd::supported(simd::Path::Avx2));
#else
  EXPECT_FALSE(simd::supported(simd::Path::Neon));
#endif
  // The widest path, unless the run names one.
  const char* forced = std::getenv("TARSIM_SIMD_PATH");
  if (forced != nullptr && *forced != '\0') {
    EXPECT_STREQ(simd_path(), forced);
  } else if (simd::supported(simd::Path::Avx512)) {
    EXPECT_EQ(simd::best(), simd::Path::Avx512);
  } else if (simd::supported(simd::Path::Avx2)) {
    EXPECT_EQ(simd::best(), simd::Path::Avx2);
  } else if (simd::supported(simd::Path::Neon)) {
    EXPECT_EQ(simd::best(), simd::Path::Neon);
  }
}

TEST(Kernels, EveryPathMatchesScalarOnRandomData) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal(0.0, 3.0);
  const std::size_t dims[] = {0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 64, 127, 128, 131};
  const std::size_t counts[] = {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 64, 65, 100};
  for (std::size_t dim : dims) {
    const std::size_t stored = 100;
    V data(stored * dim);
    for (double& x : data) x = normal(rng);
    // Query lengths: equal, shorter, longer, empty.
    std::vector<std::size_t> lengths = {dim, dim / 2, dim + 3, 0};
    if (dim > 0) lengths.push_back(dim - 1);
    for (std::size_t len : lengths) {
      V query(len);
      for (double& x : query) x = normal(rng);
      for (simd::Path path : runnable_paths()) {
        for (Metric metric : kMetrics) {
          for (std::size_t count : counts) {
            check_against_scalar(path, metric, query, data, dim, count, rng);
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

// Values that make the sums overflow, underflow, cancel and produce NaN:
// infinities, zeros of both signs, subnormals, huge and tiny numbers, zero
// vectors and NaN components.
//
// When two NaNs with different bits meet in one operation, the processor
// returns the first operand, and which operand is first in a commutative
// addition or multiplication is the compiler's choice (in the scalar
// functions as well as in the kernels). So bit-exact NaNs are only defined
// while every NaN has the same bits: the NaN an invalid operation produces
// (inf - inf, 0 * inf, 0 / 0) is the negative quiet NaN, which the inputs of
// the exact run use as well. A second run with NaNs of other signs and
// payloads checks that values stay exact and NaNs stay NaN.
void check_special_values(bool foreign_nans) {
  std::mt19937_64 rng(99);
  const double default_nan = -std::numeric_limits<double>::quiet_NaN();
  const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7ff800000000abcdULL});
  std::vector<double> specials = {0.0,    -0.0,   1.0,    -1.0,    kInf,    -kInf,  1e300,
                                  -1e300, 1e-300, -1e-170, 5e-324, -5e-324, 1e154, 3.0,
                                  -2.5,   0.1,    1e-160, 7e153,   -1e200,  123456.789, default_nan};
  if (foreign_nans) specials.insert(specials.end(), {kNaN, payload_nan});
  const std::size_t n_specials = specials.size();
  for (std::size_t dim : {1, 2, 3, 4, 5, 8, 9, 13, 16, 17, 33}) {
    const std::size_t stored = 70;
    V data(stored * dim);
    for (std::size_t i = 0; i < stored; ++i) {
      const int kind = static_cast<int>(rng() % 4);
      for (std::size_t j = 0; j < dim; ++j) {
        double& x = data[i * dim + j];
        if (kind == 0) {
          x = 0.0;  // zero vector
        } else if (kind == 1) {
          // Mostly small integers, with a rare special value.
          x = rng() % 8 == 0 ? specials[rng() % n_specials] : static_cast<double>(rng() % 7) - 3;
        } else {
          x = specials[rng() % n_specials];
        }
      }
    }
    for (int round = 0; round < 6; ++round) {
      V query(round == 5 ? 0 : dim + (rng() % 3) - 1);
      for (double& x : query) {
        x = round == 0 ? 0.0 : (rng() % 3 == 0 ? specials[rng() % n_specials] : 1.0);
      }
      for (simd::Path path : runnable_paths()) {
        for (Metric metric : kMetrics) {
          for (std::size_t count : {1, 5, 8, 17, 40, 70}) {
            check_against_scalar(path, metric, query, data, dim, count, rng, foreign_nans);
            if (::testing::Test::HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

TEST(Kernels, EveryPathMatchesScalarOnSpecialValues) { check_special_values(false); }

TEST(Kernels, EveryPathKeepsNaNsOnForeignNaNs) { check_special_values(true); }

// Products rounded before they are added. For each metric, pick inputs where
// a fused multiply-add would round differently from the separate operations
// and check that every path gives the separately rounded value. The reference
// forces each rounding through a volatile store, so it stays unfused even if
// the build were to allow contraction.
double unfused_sum(const V& a, const V& b, bool difference) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    volatile double d = difference ? a[i] - b[i] : a[i];
    volatile double p = difference ? d * d : a[i] * b[i];
    sum = sum + p;
  }
  return sum;
}

double fused_sum(const V& a, const V& b, bool difference) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    volatile double d = difference ? a[i] - b[i] : a[i];
    sum = difference ? std::fma(d, d, sum) : std::fma(a[i], b[i], sum);
  }
  return sum;
}

TEST(Kernels, NoFusedMultiplyAdd) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> value(-2, 2);
  const std::size_t dim = 9;  // a full tile and a tail on every path
  const std::size_t count = 40;
  for (bool euclid : {true, false}) {
    V data(count * dim);
    V query(dim);
    // Draw until the query differs between fused and unfused sums against
    // every stored vector.
    for (double& x : query) x = value(rng);
    for (std::size_t i = 0; i < count; ++i) {
      V row(dim);
      do {
        for (double& x : row) x = value(rng);
      } while (unfused_sum(query, row, euclid) == fused_sum(query, row, euclid));
      std::copy(row.begin(), row.end(), data.begin() + i * dim);
    }
    const Metric metric = euclid ? Metric::Euclidean : Metric::InnerProduct;
    for (simd::Path path : runnable_paths()) {
      V out(count);
      simd::score_block(path, metric, query, data.data(), dim, count, out.data());
      for (std::size_t i = 0; i < count; ++i) {
        V row(data.begin() + i * dim, data.begin() + (i + 1) * dim);
        const double unfused = unfused_sum(query, row, euclid);
        const double expected = euclid ? std::sqrt(unfused) : unfused;
        ASSERT_EQ(bits(expected), bits(out[i])) << simd::name(path) << " vector " << i;
        const double scalar = function_of(metric)(query, row);
        ASSERT_EQ(bits(expected), bits(scalar)) << "scalar function, vector " << i;
      }
    }
  }
}

TEST(Kernels, CancellationShowsFusion) {
  // -1 + (1 + 2^-30)(1 - 2^-30): the product rounds to 1, so the sum is 0;
  // fused it would be -2^-60.
  const double x = 1 + std::ldexp(1.0, -30), y = 1 - std::ldexp(1.0, -30);
  const V query = {-1, x, -1, x, -1, x, -1, x, -1, x};
  V data;
  for (int i = 0; i < 19; ++i) data.insert(data.end(), {1, y, 1, y, 1, y, 1, y, 1, y});
  for (simd::Path path : runnable_paths()) {
    V out(19);
    simd::score_block(path, Metric::InnerProduct, query, data.data(), 10, 19, out.data());
    for (double d : out) EXPECT_SAME_BITS(0.0, d) << simd::name(path);
    simd::score_block(path, Metric::Cosine, query, data.data(), 10, 19, out.data());
    for (double d : out) EXPECT_SAME_BITS(0.0, d) << simd::name(path);
  }
  EXPECT_SAME_BITS(0.0, dot_product(query, V(data.begin(), data.begin() + 10)));
}

TEST(Kernels, ZeroDimension) {
  const V query = {3, 4};
  for (simd::Path path : runnable_paths()) {
    V out(5, 1.0);
    simd::score_block(path, Metric::Euclidean, query, nullptr, 0, 5, out.data());
    for (double d : out) EXPECT_SAME_BITS(0.0, d);
    simd::score_block(path, Metric::InnerProduct, query, nullptr, 0, 5, out.data());
    for (double d : out) EXPECT_SAME_BITS(0.0, d);
    simd::score_block(path, Metric::Cosine, query, nullptr, 0, 5, out.data());
    for (double d : out) EXPECT_TRUE(std::isnan(d));
    const std::uint32_t ids[] = {0, 7, 3};
    simd::score_rows(path, Metric::Euclidean, query, nullptr, 0, ids, 3, out.data());
    for (int i = 0; i < 3; ++i) EXPECT_SAME_BITS(0.0, out[i]);
  }
}

// Several rows at a time give each row's eightfold dot to the bit, on
// every path: every count around the group sizes, lengths around the eight
// partials, values on wildly different scales, signed zeros, denormals and
// infinities in some rows (whose NaNs are all the one indefinite).
TEST(Kernels, EightfoldDotOfRowsIsTheEightfoldDotOfEachRow) {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> value(-1, 1);
  std::uniform_int_distribution<int> scale(-150, 150);
  const double specials[] = {0.0, -0.0, 4.9e-324, -2.2e-310, kInf, -kInf};
  for (std::size_t n : {0, 1, 7, 8, 9, 16, 65, 193}) {
    const std::size_t count = 19;
    V rows(count * n), b(n);
    for (double& x : b) x = value(rng) * std::pow(10.0, scale(rng));
    for (std::size_t r = 0; r < count; ++r) {
      const double row_scale = std::pow(10.0, scale(rng));
      for (std::size_t k = 0; k < n; ++k) {
        rows[r * n + k] = rng() % 9 == 0 ? specials[rng() % (r % 3 == 0 ? 6 : 4)]
                                         : value(rng) * row_scale;
      }
    }
    for (simd::Path path : runnable_paths()) {
      for (std::size_t c = 0; c <= count; ++c) {
        V out(count, 1.0);
        simd::dot_eightfold_rows(path, rows.data(), c, b.data(), n, out.data());
        for (std::size_t r = 0; r < c; ++r) {
          EXPECT_SAME_BITS(simd::dot_eightfold(path, rows.data() + r * n, b.data(), n), out[r])
              << simd::name(path) << " n " << n << " count " << c << " row " << r;
        }
        for (std::size_t r = c; r < count; ++r) EXPECT_SAME_BITS(1.0, out[r]);
      }
    }
  }
}

TEST(Kernels, DispatchedEntryPointsMatchScalar) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> value(-1, 1);
  const std::size_t dim = 37, count = 53;
  V data(count * dim), query(dim);
  for (double& x : data) x = value(rng);
  for (double& x : query) x = value(rng);
  std::vector<std::uint32_t> ids = {52, 0, 17, 17, 3};
  for (Metric metric : kMetrics) {
    V out(count);
    score_block(metric, query, data.data(), dim, count, out.data());
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_SAME_BITS(function_of(metric)(query, Vec(data.data() + i * dim, dim)), out[i]);
    }
    score_rows(metric, query, data.data(), dim, ids.data(), ids.size(), out.data());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      EXPECT_SAME_BITS(function_of(metric)(query, Vec(data.data() + ids[i] * dim, dim)), out[i]);
    }
  }
}

}  // namespace
}  // namespace tarsim::metrics
