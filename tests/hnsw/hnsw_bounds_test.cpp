// Graphs built and searched with the sketch bounds are exactly the graphs
// and answers without them: every list, id, tie order and distance bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "testing/knobs.hpp"
#include "testing/emulated.hpp"
#include "../sketch/small_config.hpp"
#include "seeded.hpp"

namespace tarsim::hnsw {
namespace {

using metadata::Metadata;
using metadata::Row;
using metadata::Schema;
using metrics::Metric;
using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using testing::Seeded;
using Knobs = ::tarsim::testing::Knobs;

using sketch::testing::small_config;

// One row of the given kind: 0 near a low-dimensional subspace with a
// shared offset (the bounds rule out most neighbours), 1 small integers
// (ties), 2 hostile (±0, NaN, ±inf, 1e150, 1e-300 mixed into small integers,
// constant rows, whole rows scaled to huge or tiny magnitudes), 3 Gaussian,
// 4 near ties far from the origin (distances apart by less than the
// rounding errors of the sketches, which only the margins cover), 5
// Gaussian scaled by 10^u, u uniform in [-150, 150] (rows on wildly
// different scales: many beyond a record, tiny distances on a coarse grid).
void fill_row(std::mt19937_64& rng, int kind, const V& axes, V& row) {
  std::normal_distribution<double> normal;
  // A query may be one value longer than the stored vectors.
  const std::size_t dim = axes.size() / 2;
  const double specials[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e150, -1e150, 1e-300, -1e-300};
  const double c0 = normal(rng) * 5, c1 = normal(rng);
  const bool constant = rng() % 8 == 0;
  const double scale = rng() % 16 == 0 ? (rng() % 2 == 0 ? 1e150 : 1e-300) : 1.0;
  const double spread =
      kind == 5 ? std::pow(10.0, std::uniform_real_distribution<double>(-150, 150)(rng)) : 1.0;
  for (std::size_t k = 0; k < row.size(); ++k) {
    switch (kind) {
      case 0:
        row[k] = 3.0 + c0 * axes[k % dim] + c1 * axes[dim + k % dim] + 0.01 * normal(rng);
        break;
      case 1:
        row[k] = static_cast<double>(rng() % 3) - 1;
        break;
      case 2:
        row[k] = constant ? 2.0 : static_cast<double>(rng() % 5) - 2;
        if (rng() % 24 == 0) row[k] = specials[rng() % std::size(specials)];
        row[k] *= scale;
        break;
      case 3:
        row[k] = normal(rng);
        break;
      case 5:
        row[k] = normal(rng) * spread;
        break;
      default:
        row[k] = 1000.0 + static_cast<double>(rng() % 3) + 1e-13 * static_cast<double>(rng() % 100);
    }
  }
}

std::string differ(const std::vector<Scored>& on, const std::vector<Scored>& off) {
  if (on.size() != off.size()) {
    return "sizes " + std::to_string(on.size()) + " vs " + std::to_string(off.size());
  }
  for (std::size_t i = 0; i < on.size(); ++i) {
    // Which NaN an operation on two NaNs passes on is not pinned down, and
    // nothing ranks or reports NaNs apart.
    const bool both_nan = std::isnan(on[i].distance) && std::isnan(off[i].distance);
    if (on[i].id != off[i].id ||
        (!both_nan && std::bit_cast<std::uint64_t>(on[i].distance) !=
                          std::bit_cast<std::uint64_t>(off[i].distance))) {
      return "rank " + std::to_string(i) + ": id " + std::to_string(on[i].id) + " vs " +
             std::to_string(off[i].id);
    }
  }
  return "";
}

std::string differ_graphs(const HNSW& on, const HNSW& off) {
  std::vector<std::uint32_t> a, a_offsets, b, b_offsets;
  on.flat_view(a, a_offsets);
  off.flat_view(b, b_offsets);
  if (a != b || a_offsets != b_offsets) return "lists differ";
  for (std::uint32_t node = 0; node < on.size(); ++node) {
    for (std::uint32_t layer = 1; layer < on.layers(); ++layer) {
      if (on.neighbors_of(node, layer) != off.neighbors_of(node, layer)) {
        return "layer " + std::to_string(layer) + " list of node " + std::to_string(node);
      }
    }
  }
  return "";
}

struct Totals {
  std::size_t searches = 0;
  std::size_t skipped = 0;  // neighbours the bounds ruled out in the bounded indexes
  std::size_t recalled = 0;  // distances the bounded indexes took from their memo
  std::size_t axis = 0;      // neighbours the axis codes ruled out lately
};

// The data two indexes are grown on: every dimension (up to a maximum)
// with every kind of row, n nodes (0: 260 from dimension 130 on, else 420).
struct Family {
  std::vector<std::size_t> dims{1, 3, 9, 40, 64, 130};
  std::vector<int> kinds{0, 1, 2, 3, 4};
  std::size_t n = 0;
};

// Two indexes, with and without the bounds, grown node by node on the same
// data and level draws across refits of the basis; their graphs and the
// answers of both to searches and layer searches, with and without
// filters, are compared now and then. Returns the first difference or "".
// `chunk`, when not 0, is the bounded chunk of both.
std::string grow_and_compare(const sketch::Config& config, std::uint64_t seed,
                             std::size_t max_dim, Totals& totals, std::size_t chunk = 0,
                             const Family& family = {}) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  const std::uint32_t efs[] = {8, 40};
  for (Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
    for (std::size_t dim : family.dims) {
      if (dim > max_dim) continue;
      for (int kind : family.kinds) {
        V axes(2 * dim);
        for (double& a : axes) a = normal(rng);
        Params params{.dim = static_cast<std::uint32_t>(dim),
                      .layers = 4,
                      .ef_construction = efs[rng() % 2],
                      .ef_search = 16,
                      .metric = metric,
                      .schema = Schema{"color"}};
        HNSW on(params), off(params);
        sketch::Config c = config;
        c.max_axes = static_cast<std::uint32_t>(std::min<std::size_t>(dim, config.max_axes));
        Knobs::set_sketch_config(on, c);
        Knobs::set_sketch_config(off, c);
        Knobs::set_bounds(on, true);
        Knobs::set_bounds(off, false);
        if (chunk != 0) {
          Knobs::set_bounded_chunk(on, chunk);
          Knobs::set_bounded_chunk(off, chunk);
        }
        const std::uint64_t draws = rng();
        Seeded on_draws(draws), off_draws(draws);
        const std::size_t n = family.n != 0 ? family.n : dim >= 130 ? 260 : 420;
        V row(dim);
        const std::string where = "metric " + std::to_string(int(metric)) + " dim " +
                                  std::to_string(dim) + " kind " + std::to_string(kind);
        for (std::size_t i = 1; i <= n; ++i) {
          fill_row(rng, kind, axes, row);
          const Row meta{Metadata::from_integer(static_cast<std::int64_t>(rng() % 4))};
          const Row* given = rng() % 10 == 0 ? nullptr : &meta;
          if (on.insert(row, given, on_draws) != off.insert(row, given, off_draws)) {
            return where + ": insertion " + std::to_string(i) + " ended differently";
          }
          if (i != 37 && i % 130 != 0 && i != n) continue;
          const std::string graph = differ_graphs(on, off);
          if (!graph.empty()) return where + " n " + std::to_string(i) + ": " + graph;
          for (int q = 0; q < 6; ++q) {
            V query(dim + (q == 5 ? 1 : 0));
            fill_row(rng, kind, axes, query);
            const filter::Filter wanted = filter::Filter::equal_to(
                "color", Metadata::from_integer(static_cast<std::int64_t>(q % 4)));
            const filter::Filter* filter = q % 2 == 0 ? nullptr : &wanted;
            std::vector<Scored> a, b;
            for (std::uint32_t k : {1u, 10u}) {
              on.search(query, k, filter, a);
              off.search(query, k, filter, b);
              std::string fault = differ(a, b);
              if (!fault.empty()) {
                return where + " n " + std::to_string(i) + " search k " + std::to_string(k) +
                       (filter ? " filtered" : "") + ": " + fault;
              }
              ++totals.searches;
            }
            const std::uint32_t entry = static_cast<std::uint32_t>(rng() % on.size());
            const std::uint32_t layer = static_cast<std::uint32_t>(rng() % 2);
            const std::uint32_t ef = q < 3 ? 1 : 24;
            on.knn(entry, query, ef, layer, filter, a);
            off.knn(entry, query, ef, layer, filter, b);
            std::string fault = differ(a, b);
            if (!fault.empty()) {
              return where + " n " + std::to_string(i) + " knn ef " + std::to_string(ef) + ": " +
                     fault;
            }
          }
        }
        if (Knobs::skipped(off) != 0 || Knobs::recalled(off) != 0) return where + ": bounds used while off";
        totals.skipped += Knobs::skipped(on);
        totals.recalled += Knobs::recalled(on);
        const auto& stats = Knobs::prune_stats(on);
        totals.axis += stats.axis.ruled_out + stats.axis_inserting.ruled_out;
      }
    }
  }
  return "";
}

TEST(HNSWBounds, SameGraphsAndAnswersWithAndWithoutBoundsAcrossRefits) {
  Totals totals;
  // Under an emulator: up to dimension 9, 130 nodes (past four refits).
  const std::size_t max_dim = tarsim::testing::sized<std::size_t>(130, 9);
  const Family family{.n = tarsim::testing::sized<std::size_t>(0, 130)};
  EXPECT_EQ(grow_and_compare(small_config(6), 21, max_dim, totals, 0, family), "");
  // Each neighbour bounded against the freshest worst: the bounds are then
  // tested closest to their limit.
  EXPECT_EQ(grow_and_compare(small_config(6), 25, max_dim, totals, 1, family), "");
  // The comparison means nothing unless the bounds did rule neighbours out
  // and the walks of one operation did reuse each other's distances.
  EXPECT_GT(totals.skipped, totals.searches * 10);
  EXPECT_GT(totals.recalled, totals.searches * 10);
  // Axis codes from dimension 64 on.
  if (max_dim >= 64) {
    EXPECT_GT(totals.axis, totals.searches);
  }
  std::printf("searches %zu, neighbours ruled out %zu, distances recalled %zu\n",
              totals.searches, totals.skipped, totals.recalled);
}

// Rows on wildly different scales, with the graph's own sketch settings, a
// little past the first fit: at the dimensions on either side of the codes'
// rule, where a tiny query's worst lies far below the grid's step.
TEST(HNSWBounds, SameGraphsAndAnswersOnRowsOfWildlyDifferentScales) {
  Totals totals;
  // The settings of an inner product graph: axis codes for every metric.
  sketch::Config config = HNSW::default_sketch_config(Metric::InnerProduct);
  config.enabled = true;
  config.min_rows = 256;
  // Under an emulator: two of these dimensions.
  using Dims = std::vector<std::size_t>;
  const Family scales{.dims = tarsim::testing::sized<Dims>({65, 128, 129, 130, 193}, {65, 128}),
                      .kinds = {5},
                      .n = 390};
  EXPECT_EQ(grow_and_compare(config, 26, 193, totals, 0, scales), "");
  EXPECT_GT(totals.skipped, totals.searches);
}

// The comparison above must catch an unsound bound: a dropped tail term of
// the inner product and cosine bounds, no rounding margin (caught on the
// near ties, with a basis as wide as the data and every neighbour bounded
// against the freshest worst), or a code threshold a tenth too low.
TEST(HNSWBounds, PlantedUnsoundBoundsChangeResults) {
  Totals totals;
  sketch::Config dropped = small_config(6);
  dropped.drop_tail = true;
  const std::string dropped_fault =
      grow_and_compare(dropped, 22, tarsim::testing::sized<std::size_t>(40, 9), totals);
  EXPECT_NE(dropped_fault, "");
  sketch::Config no_margin = small_config(64);
  no_margin.margin_scale = 0.0;
  const std::string margin_fault = grow_and_compare(no_margin, 23, 9, totals, 1);
  EXPECT_NE(margin_fault, "");
  sketch::Config low_codes = small_config(6);
  low_codes.code_threshold_scale = 0.9;
  const std::string codes_fault = grow_and_compare(low_codes, 24, 9, totals);
  EXPECT_NE(codes_fault, "");
  std::printf("code threshold x0.9 caught: %s\n", codes_fault.c_str());
  std::printf("dropped tail caught: %s\nno margin caught: %s\n", dropped_fault.c_str(),
              margin_fault.c_str());
}

// The same for the axis codes alone (no records, so no grid codes either):
// a dropped tail term (which only a second block has, whole or of 36 axes),
// a threshold a tenth too low, a code gap one cell too wide.
TEST(HNSWBounds, PlantedUnsoundAxisCodesChangeResults) {
  Totals totals;
  const Family family{.dims = {64}, .kinds = {0, 1, 3}};
  sketch::Config dropped = small_config(0);
  dropped.drop_tail = true;
  const Family two_blocks{.dims = {128}, .kinds = {0, 1, 3}};
  EXPECT_NE(grow_and_compare(dropped, 27, 128, totals, 1, two_blocks), "");
  const Family partial{.dims = {100}, .kinds = {0, 1, 3}};
  EXPECT_NE(grow_and_compare(dropped, 30, 100, totals, 1, partial), "");
  sketch::Config low = small_config(0);
  low.code_threshold_scale = 0.9;
  EXPECT_NE(grow_and_compare(low, 28, 64, totals, 1, family), "");
  sketch::Config wide = small_config(0);
  wide.axis_gap_wide = true;
  EXPECT_NE(grow_and_compare(wide, 29, 64, totals, 1, family), "");
}

// With the default settings the bounds are fitted early and used on
// structured data, and given up on data where they rule out nothing.
TEST(HNSWBounds, DefaultsPayOnStructuredDataOnly) {
  std::mt19937_64 rng(4);
  std::normal_distribution<double> normal;
  const std::size_t dim = 64, n = 1500;
  V axes(2 * dim);
  for (double& a : axes) a = normal(rng);
  for (int kind : {0, 3}) {
    HNSW index(Params{.dim = dim, .ef_construction = 40, .metric = Metric::Euclidean, .schema = {}});
    Seeded draws(7);
    V row(dim);
    for (std::size_t i = 0; i < n; ++i) {
      fill_row(rng, kind, axes, row);
      ASSERT_EQ(index.insert(row, nullptr, draws), std::nullopt);
    }
    ASSERT_TRUE(Knobs::sketch(index).ready());
    EXPECT_EQ(Knobs::sketch(index).fits(), 1u);
    EXPECT_LE(Knobs::sketch(index).bytes_per_vector() * 4, dim * sizeof(double));
    const std::size_t built = Knobs::skipped(index);
    std::vector<Scored> out;
    for (int q = 0; q < 20; ++q) {
      fill_row(rng, kind, axes, row);
      ASSERT_EQ(index.search(row, 10, nullptr, out), std::nullopt);
    }
    // The 476 insertions after the fit at 1024 nodes look at a few thousand
    // nodes each.
    if (kind == 0) {
      EXPECT_GT(built, 476u * 400);
      EXPECT_GT(Knobs::skipped(index), built);
    } else {
      // At most an eighth of each insertion's trial of 256.
      EXPECT_LT(built, 476u * 32);
    }
  }
}

}  // namespace
}  // namespace tarsim::hnsw
