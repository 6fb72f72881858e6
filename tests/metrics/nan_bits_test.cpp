// NaN results carry the bits an x86-64 processor gives, on every path of
// every processor (metrics/x86_nans.hpp): the indefinite 0xFFF8000000000000
// from an invalid operation, an input NaN quieted. Where two NaNs of
// different bits meet, x86's result is the compiler's choice of operand
// order, so the data here never makes them meet.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "metrics/metrics.hpp"
#include "metrics/simd.hpp"
#include "metrics/x86_nans.hpp"
#include "paths.hpp"

namespace tarsim::metrics {
namespace {

using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
double nan_of(std::uint64_t b) { return std::bit_cast<double>(b); }

// The bits of x86, written out.
constexpr std::uint64_t kIndefinite = 0xFFF8000000000000ULL;
constexpr std::uint64_t kQuiet = 0x7FF8000000000000ULL;  // numpy's and Python's NaN

struct Case {
  Metric metric;
  V query, row;
  std::uint64_t x86;
  const char* what;
};

const Case kCases[] = {
    {Metric::Euclidean, {kInf}, {kInf}, kIndefinite, "inf - inf"},
    {Metric::InnerProduct, {0.0}, {kInf}, kIndefinite, "0 * inf"},
    {Metric::Cosine, {0.0, 0.0}, {1.0, 2.0}, kIndefinite, "0 / 0"},
    {Metric::Euclidean, {1.0, nan_of(0x7FF800000000ABCDULL)}, {2.0, 1.0}, 0x7FF800000000ABCDULL,
     "a payload"},
    {Metric::InnerProduct, {1.0, 1.0}, {1.0, nan_of(0xFFF400000000BEEFULL)},
     0xFFFC00000000BEEFULL, "a negative signalling NaN, quieted"},
    {Metric::Cosine, {nan_of(0x7FF800000000ABCDULL), 1.0}, {1.0, 1.0}, 0x7FF800000000ABCDULL,
     "a payload through the norms"},
    {Metric::Euclidean, {nan_of(0x7FF000000000000BULL)}, {nan_of(0x7FF000000000000BULL)},
     0x7FF800000000000BULL, "a signalling NaN met by itself"},
    {Metric::Euclidean, {kInf}, {kInf, nan_of(kQuiet)}, kIndefinite,
     "inf - inf, a NaN in the row past the query"},
    {Metric::Euclidean, {kInf, 1.0}, {kInf, nan_of(kIndefinite)}, kIndefinite,
     "inf - inf, then an input indefinite"},
    {Metric::InnerProduct, {nan_of(kIndefinite), kInf}, {1.0, 0.0}, kIndefinite,
     "an input indefinite, then an invalid product"},
    {Metric::Cosine, {0.0, 1.0}, {0.0, 1.0, nan_of(kQuiet)}, kQuiet, "a quiet NaN in a norm"},
};

// Each case on every path, as the whole query or after 9 zeros (a full tile
// first on every path), in 5 rows (groups and the lanes of a tail), through
// both scoring entry points and, for the euclidean cases, the bounded one;
// and the scalar function.
TEST(Kernels, NaNsHaveTheBitsOfX86) {
  for (const Case& c : kCases) {
    for (std::size_t zeros : {0, 9}) {
      V query(zeros, 0.0), row(zeros, 0.0);
      query.insert(query.end(), c.query.begin(), c.query.end());
      row.insert(row.end(), c.row.begin(), c.row.end());
      const std::size_t dim = row.size(), count = 5;
      const std::string where = std::string(c.what) + ", zeros " + std::to_string(zeros);
      EXPECT_EQ(bits(function_of(c.metric)(query, row)), c.x86) << where << ": scalar function";
      V data;
      for (std::size_t i = 0; i < count; ++i) data.insert(data.end(), row.begin(), row.end());
      const std::uint32_t ids[count] = {4, 0, 3, 1, 2};
      for (simd::Path path : runnable_paths()) {
        V out(count);
        simd::score_block(path, c.metric, query, data.data(), dim, count, out.data());
        for (double d : out) EXPECT_EQ(bits(d), c.x86) << where << ": block, " << simd::name(path);
        simd::score_rows(path, c.metric, query, data.data(), dim, ids, count, out.data());
        for (double d : out) EXPECT_EQ(bits(d), c.x86) << where << ": rows, " << simd::name(path);
        if (c.metric != Metric::Euclidean) continue;
        simd::euclidean_rows_bounded(path, query, data.data(), dim, ids, count, count, kInf,
                                     out.data());
        for (double d : out) {
          EXPECT_EQ(bits(d), c.x86) << where << ": bounded, " << simd::name(path);
        }
      }
    }
  }
}

TEST(Kernels, EightfoldDotNaNsHaveTheBitsOfX86) {
  const double payload = nan_of(0x7FF000000000ABCDULL);  // signalling: comes out quieted
  V ones(9, 1.0);
  V invalid = ones, tail = ones, both = ones, zero_first = ones;
  invalid[0] = kInf;
  zero_first[0] = 0.0;
  tail[8] = payload;
  both[0] = kInf;
  both[8] = nan_of(kIndefinite);
  for (simd::Path path : runnable_paths()) {
    const char* name = simd::name(path);
    EXPECT_EQ(bits(simd::dot_eightfold(path, invalid.data(), zero_first.data(), 9)), kIndefinite)
        << name;
    EXPECT_EQ(bits(simd::dot_eightfold(path, tail.data(), ones.data(), 9)), 0x7FF800000000ABCDULL)
        << name;
    // An invalid partial meets an input indefinite.
    EXPECT_EQ(bits(simd::dot_eightfold(path, both.data(), zero_first.data(), 9)), kIndefinite)
        << name;
  }
}

// The metric functions with x86's rules, one operation at a time.
double euclidean_x86(const V& q, const double* x, std::size_t dim) {
  double sum = 0.0;
  for (std::size_t i = 0; i < std::min(q.size(), dim); ++i) {
    const double d = x86::sub(q[i], x[i]);
    sum = x86::add(sum, x86::mul(d, d));
  }
  return x86::sqrt(sum);
}

double dot_x86(const V& q, const double* x, std::size_t dim) {
  double sum = 0.0;
  for (std::size_t i = 0; i < std::min(q.size(), dim); ++i) {
    sum = x86::add(sum, x86::mul(q[i], x[i]));
  }
  return sum;
}

double cosine_x86(const V& q, const double* x, std::size_t dim) {
  const double dot = dot_x86(q, x, dim);
  double a = 0.0, b = 0.0;
  for (double v : q) a = x86::add(a, x86::mul(v, v));
  for (std::size_t i = 0; i < dim; ++i) b = x86::add(b, x86::mul(x[i], x[i]));
  return x86::div(dot, x86::mul(x86::sqrt(a), x86::sqrt(b)));
}

double x86_value(Metric metric, const V& q, const double* x, std::size_t dim) {
  if (metric == Metric::Euclidean) return euclidean_x86(q, x, dim);
  if (metric == Metric::InnerProduct) return dot_x86(q, x, dim);
  return cosine_x86(q, x, dim);
}

// Hostile data of the two kinds where x86's bits are defined: NaNs of the
// indefinite's bits among infinities (invalid operations meet them), or NaNs
// of one other payload, quiet or signalling, of either sign, among numbers.
// Every path and the scalar functions give what x86's rules give. On x86
// this holds the processor to the rules, elsewhere the recomputation.
TEST(Kernels, HostileNaNsFollowTheRulesOfX86) {
  const std::uint64_t payloads[] = {0x7FF800000000ABCDULL, 0xFFF8000000001234ULL,
                                    0x7FF4000000000077ULL, 0xFFF0000000000055ULL, kQuiet};
  std::mt19937_64 rng(2026);
  std::size_t nans = 0;
  for (int kind = 0; kind < 10; ++kind) {
    const bool invalid = kind % 2 == 0;
    const double nan = nan_of(invalid ? kIndefinite : payloads[kind / 2]);
    const double specials[] = {nan, invalid ? kInf : 1e300, invalid ? -kInf : -1e-300, 0.0, -0.0};
    auto value = [&] {
      return rng() % 4 == 0 ? specials[rng() % 5] : static_cast<double>(rng() % 5) - 2;
    };
    for (std::size_t dim : {1, 2, 3, 5, 8, 9, 17}) {
      const std::size_t count = 23;
      V data(count * dim);
      for (double& x : data) x = value();
      std::vector<std::uint32_t> ids(count);
      for (std::size_t i = 0; i < count; ++i) ids[i] = static_cast<std::uint32_t>((i * 7) % count);
      V query(dim + rng() % 3 - (dim > 1 ? 1 : 0));
      for (double& x : query) x = value();
      for (Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
        auto want = [&](std::size_t row) {
          return bits(x86_value(metric, query, data.data() + row * dim, dim));
        };
        for (std::size_t i = 0; i < count; ++i) {
          nans += std::isnan(x86_value(metric, query, data.data() + i * dim, dim));
          ASSERT_EQ(bits(function_of(metric)(query, Vec(data.data() + i * dim, dim))), want(i))
              << "scalar function, kind " << kind << " dim " << dim << " row " << i;
        }
        for (simd::Path path : runnable_paths()) {
          const std::string where = std::string(simd::name(path)) + " kind " +
                                    std::to_string(kind) + " metric " +
                                    std::to_string(static_cast<int>(metric)) + " dim " +
                                    std::to_string(dim);
          V out(count);
          simd::score_block(path, metric, query, data.data(), dim, count, out.data());
          for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(bits(out[i]), want(i)) << where << " block row " << i;
          }
          simd::score_rows(path, metric, query, data.data(), dim, ids.data(), count, out.data());
          for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(bits(out[i]), want(ids[i])) << where << " rows " << i;
          }
          if (metric != Metric::Euclidean) continue;
          simd::euclidean_rows_bounded(path, query, data.data(), dim, ids.data(), count, count,
                                       kInf, out.data());
          for (std::size_t i = 0; i < count; ++i) {
            if (out[i] == kInf) continue;  // given up: a NaN partial sum
            ASSERT_EQ(bits(out[i]), want(ids[i])) << where << " bounded " << i;
          }
        }
      }
    }
  }
  EXPECT_GT(nans, 300u);  // the data is hostile enough to matter
}

}  // namespace
}  // namespace tarsim::metrics
