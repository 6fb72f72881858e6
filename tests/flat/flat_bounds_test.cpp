// Searches with the sketch bounds give exactly what searches without them
// give: the same ids in the same order, the same distance bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "flat/flat.hpp"
#include "testing/knobs.hpp"
#include "testing/emulated.hpp"
#include "../sketch/small_config.hpp"

namespace tarsim::flat {
namespace {

using metrics::Metric;
using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using sketch::testing::small_config;

// One row of the given kind: 0 near a low-dimensional subspace with a
// shared offset (the bounds rule out most rows), 1 small integers (ties),
// 2 hostile (specials, denormals among them, mixed into small integers,
// constant rows), 3 Gaussian,
// 4 Gaussian scaled by 10^u, u uniform in [-150, 150] (rows on wildly
// different scales, many beyond a record).
void fill_row(std::mt19937_64& rng, int kind, const V& axes, double* row, std::size_t dim) {
  std::normal_distribution<double> normal;
  const double specials[] = {0.0,    -0.0,   kNaN,   kInf,    -kInf,    1e150,
                             -1e150, 1e-300, -1e-300, 1e-310, -4.9e-324};
  const double c0 = normal(rng) * 5, c1 = normal(rng);
  const bool constant = rng() % 8 == 0;
  const double spread =
      kind == 4 ? std::pow(10.0, std::uniform_real_distribution<double>(-150, 150)(rng)) : 1.0;
  for (std::size_t k = 0; k < dim; ++k) {
    switch (kind) {
      case 0:
        row[k] = 3.0 + c0 * axes[k] + c1 * axes[dim + k] + 0.01 * normal(rng);
        break;
      case 1:
        row[k] = static_cast<double>(rng() % 3) - 1;
        break;
      case 2:
        row[k] = constant ? 2.0 : static_cast<double>(rng() % 5) - 2;
        if (rng() % 24 == 0) row[k] = specials[rng() % std::size(specials)];
        break;
      case 4:
        row[k] = normal(rng) * spread;
        break;
      default:
        row[k] = normal(rng);
    }
  }
}

std::string compare(const Flat& index, const V& query, std::uint32_t k) {
  Flat& mutable_index = const_cast<Flat&>(index);
  std::vector<Hit> on, off;
  tarsim::testing::Knobs::set_bounds(mutable_index, true);
  index.search(query, k, on);
  tarsim::testing::Knobs::set_bounds(mutable_index, false);
  index.search(query, k, off);
  tarsim::testing::Knobs::set_bounds(mutable_index, true);
  if (on.size() != off.size()) return "sizes differ";
  for (std::size_t i = 0; i < on.size(); ++i) {
    if (on[i].id != off[i].id ||
        std::bit_cast<std::uint64_t>(on[i].distance) !=
            std::bit_cast<std::uint64_t>(off[i].distance)) {
      return "rank " + std::to_string(i) + ": id " + std::to_string(on[i].id) + " vs " +
             std::to_string(off[i].id);
    }
  }
  return "";
}

// The data an index is grown on: every dimension (up to a maximum) with
// every kind of row, n rows (0: 1200 from dimension 130 on, else 2600), and
// in how many searches at least the bounds must rule rows out.
struct Family {
  std::vector<std::size_t> dims{1, 2, 3, 9, 40, 130, 700};
  std::vector<int> kinds{0, 1, 2, 3};
  std::size_t n = 0;
  std::size_t bounded = 50;
};

// Grows an index row by row across refits of the basis and compares
// searches with and without bounds at several sizes (the inner product and
// cosine only when products_only); returns the first difference or "".
std::string grow_and_compare(const sketch::Config& config, std::uint64_t seed,
                             std::size_t max_dim, const Family& family = {},
                             bool products_only = false) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::size_t bounded_searches = 0;
  for (Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
    if (products_only && metric == Metric::Euclidean) continue;
    for (std::size_t dim : family.dims) {
      if (dim > max_dim) continue;
      for (int kind : family.kinds) {
        V axes(2 * dim);
        for (double& a : axes) a = normal(rng);
        Flat index(static_cast<std::uint32_t>(dim), metric);
        sketch::Config c = config;
        c.max_axes = static_cast<std::uint32_t>(std::min<std::size_t>(dim, config.max_axes));
        tarsim::testing::Knobs::set_sketch_config(index, c);
        const std::size_t n = family.n != 0 ? family.n : dim >= 130 ? 1200 : 2600;
        V row(dim);
        for (std::size_t i = 1; i <= n; ++i) {
          fill_row(rng, kind, axes, row.data(), dim);
          // Some rows come in batches, the rest one at a time.
          index.add(row);
          if (i % 700 != 0 && i != 37 && i != n) continue;
          for (int q = 0; q < 3; ++q) {
            fill_row(rng, kind, axes, row.data(), dim);
            for (std::uint32_t k : {1u, 10u, 64u}) {
              ScanStats stats;
              std::vector<Hit> out;
              index.search(row, k, out, nullptr, &stats);
              bounded_searches += stats.scored < index.size();
              const std::string fault = compare(index, row, k);
              if (!fault.empty()) {
                return "metric " + std::to_string(int(metric)) + " dim " +
                       std::to_string(dim) + " kind " + std::to_string(kind) + " n " +
                       std::to_string(i) + " k " + std::to_string(k) + ": " + fault;
              }
            }
          }
        }
      }
    }
  }
  // The comparison means nothing unless the bounds did rule rows out.
  if (bounded_searches < family.bounded) return "bounds ruled out rows in only " +
                                    std::to_string(bounded_searches) + " searches";
  return "";
}

TEST(FlatBounds, SameResultsWithAndWithoutBoundsAcrossRefits) {
  // Under an emulator: up to dimension 40, 1400 rows (past the refit at 1024).
  const std::size_t max_dim = tarsim::testing::sized<std::size_t>(700, 40);
  const Family family{.n = tarsim::testing::sized<std::size_t>(0, 1400)};
  EXPECT_EQ(grow_and_compare(small_config(6), 11, max_dim, family), "");
}

// Rows on wildly different scales, a little past the first fit, at the
// dimensions on either side of the size rule's steps.
TEST(FlatBounds, SameResultsOnRowsOfWildlyDifferentScales) {
  sketch::Config config;
  config.min_rows = 2048;
  config.axis_codes = true;
  // Under an emulator: two of these dimensions, each of which gives some 15
  // bounded searches.
  using Dims = std::vector<std::size_t>;
  const bool small = tarsim::testing::emulated();
  const Family scales{.dims = small ? Dims{65, 130} : Dims{65, 129, 130, 193},
                      .kinds = {4},
                      .n = 2800,
                      .bounded = small ? std::size_t{20} : std::size_t{50}};
  EXPECT_EQ(grow_and_compare(config, 13, 193, scales), "");
}

// The axis codes a little past the first fit, at one and a few whole blocks
// (every metric) and one axis past them (euclidean), on ties, specials,
// signed zeros and denormals, and on rows of wildly different scales.
TEST(FlatBounds, SameResultsWithAxisCodesOnHostileRows) {
  sketch::Config config;
  config.min_rows = 1024;
  config.axis_codes = true;
  // Under an emulator: one whole block and one axis past two.
  using Dims = std::vector<std::size_t>;
  const bool small = tarsim::testing::emulated();
  const Family hostile{.dims = small ? Dims{64, 129} : Dims{64, 65, 128, 129, 193},
                       .kinds = {0, 1, 2, 3, 4},
                       .n = 1500};
  EXPECT_EQ(grow_and_compare(config, 14, 193, hostile), "");
}

TEST(FlatBounds, PlantedUnsoundBoundChangesResults) {
  sketch::Config planted = small_config(6);
  planted.drop_tail = true;
  EXPECT_NE(grow_and_compare(planted, 12, 40), "");
}

// Each planted fault of the axis codes alone: the records are left out (no
// axes), so whatever is ruled out, the codes ruled out.
TEST(FlatBounds, PlantedUnsoundAxisCodesChangeResults) {
  const Family family{.dims = {65, 130}, .kinds = {0, 3}, .n = 1500};
  sketch::Config planted = small_config(0);
  planted.axis_gap_wide = true;
  EXPECT_NE(grow_and_compare(planted, 15, 130, family), "");
  planted = small_config(0);
  planted.code_threshold_scale = 0.1;
  EXPECT_NE(grow_and_compare(planted, 16, 130, family), "");
  // The same families without a fault give the same results.
  EXPECT_EQ(grow_and_compare(small_config(0), 17, 130, family), "");
}

// The same for the inner product and cosine codes, at whole blocks and with
// a last block of 36 axes: the term for the axes not read left out, and
// the threshold 10x too small.
TEST(FlatBounds, PlantedUnsoundProductCodesChangeResults) {
  const Family family{.dims = {64, 128}, .kinds = {0, 3}, .n = 1500};
  sketch::Config planted = small_config(0);
  planted.drop_tail = true;
  EXPECT_NE(grow_and_compare(planted, 18, 128, family, true), "");
  planted = small_config(0);
  planted.code_threshold_scale = 0.1;
  EXPECT_NE(grow_and_compare(planted, 19, 128, family, true), "");
  EXPECT_EQ(grow_and_compare(small_config(0), 20, 128, family, true), "");
  const Family partial{.dims = {100}, .kinds = {0, 3}, .n = 1500};
  planted = small_config(0);
  planted.drop_tail = true;
  EXPECT_NE(grow_and_compare(planted, 21, 100, partial, true), "");
  planted = small_config(0);
  planted.code_threshold_scale = 0.1;
  EXPECT_NE(grow_and_compare(planted, 22, 100, partial, true), "");
  EXPECT_EQ(grow_and_compare(small_config(0), 23, 100, partial, true), "");
}

TEST(FlatBounds, DefaultsSkipWhatCannotPay) {
  std::mt19937_64 rng(4);
  std::normal_distribution<double> normal;
  // Structured data at dimension 128: the default sketch is made and used.
  const std::size_t dim = 128, n = 20000;
  V axes(2 * dim);
  for (double& a : axes) a = normal(rng);
  V rows(n * dim);
  for (std::size_t i = 0; i < n; ++i) fill_row(rng, 0, axes, rows.data() + i * dim, dim);
  for (int kind : {0, 3}) {
    Flat index(dim, Metric::Euclidean);
    if (kind == 0) {
      index.add_rows(rows.data(), n);
    } else {
      for (std::size_t i = 0; i < n; ++i) fill_row(rng, 3, axes, rows.data() + i * dim, dim);
      index.add_rows(rows.data(), n);
    }
    ASSERT_TRUE(index.sketch().ready());
    EXPECT_LE(index.sketch().bytes_per_vector() * 4, dim * sizeof(double));
    V query(dim);
    fill_row(rng, kind, axes, query.data(), dim);
    std::vector<Hit> out;
    ScanStats stats;
    index.search(query, 10, out, nullptr, &stats);
    if (kind == 0) {
      EXPECT_LT(stats.scored, n / 10);
    } else {
      // Gaussian data: the records rule out nearly nothing, so they are
      // given up after a few pieces; the axis codes rule out most rows.
      EXPECT_LT(stats.sketched, n / 2);
      EXPECT_GT(stats.coded, n * 9 / 10);
      EXPECT_LT(stats.scored, n / 10);
    }
    EXPECT_EQ(compare(index, query, 10), "");
  }
  // Below the dimension rule, no sketch is kept.
  Flat small(32, Metric::Euclidean);
  small.add_rows(rows.data(), n * 4);
  EXPECT_FALSE(small.sketch().ready());
}

}  // namespace
}  // namespace tarsim::flat
