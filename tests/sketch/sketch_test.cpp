#include "metrics/simd.hpp"
#include "sketch/sketch.hpp"
#include "small_config.hpp"
#include "testing/knobs.hpp"
#include "testing/emulated.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tarsim::sketch {
namespace {

using metrics::Metric;
using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Metric kMetrics[] = {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine};

using testing::small_config;

// Rows of several kinds, one kind per call:
//   0 Gaussian; 1 near a 3-dimensional subspace (what the bounds are for);
//   2 small integers (many exact ties); 3 pixels: 0..255 around a shared
//   level; 4 hostile: the integer rows with ±0, NaN, ±inf, 1e150, 1e-300
//   and constant rows mixed in; 5 Gaussian rows scaled by 10^u, u uniform
//   in [-150, 150] (many beyond a record, tiny distances on a coarse grid).
V make_rows(std::mt19937_64& rng, int kind, std::size_t n, std::size_t dim) {
  std::normal_distribution<double> normal;
  V axes(3 * dim);
  for (double& a : axes) a = normal(rng);
  const double specials[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e150, -1e150, 1e-300, -1e-300};
  V rows(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    double* row = rows.data() + i * dim;
    const double c[3] = {normal(rng) * 10, normal(rng) * 3, normal(rng)};
    const double level = static_cast<double>(rng() % 200);
    const bool constant = kind == 4 && rng() % 10 == 0;
    const double spread =
        kind == 5 ? std::pow(10.0, std::uniform_real_distribution<double>(-150, 150)(rng)) : 1.0;
    for (std::size_t k = 0; k < dim; ++k) {
      switch (kind) {
        case 0:
          row[k] = normal(rng);
          break;
        case 1:
          row[k] = c[0] * axes[k] + c[1] * axes[dim + k] + c[2] * axes[2 * dim + k] +
                   1e-3 * normal(rng);
          break;
        case 3:
          row[k] = std::min(255.0, std::max(0.0, std::round(level + 20 * normal(rng))));
          break;
        case 5:
          row[k] = normal(rng) * spread;
          break;
        default:
          row[k] = static_cast<double>(rng() % 5) - 2;
          if (constant) row[k] = row[0];
          if (kind == 4 && !constant && rng() % 16 == 0) {
            row[k] = specials[rng() % std::size(specials)];
          }
      }
    }
  }
  return rows;
}

// Whether the computed distance d of (query, row) enters a result whose
// worst kept value is `worst`.
bool enters(double d, double worst) { return metrics::ranks_before(d, worst); }

// Every row whose exact computed value would enter a result with the worst
// value just above it must be kept by the bound; returns the first row that
// is wrongly ruled out, as a message, or "".
std::string first_unsound(const Sketch& sketch, Metric metric, const V& rows, std::size_t dim,
                          const V& query) {
  Query prepared;
  sketch.prepare(query, prepared);
  const metrics::DistanceFn fn = metrics::function_of(metric);
  if (prepared.coded) {
    // The code kernel keeps exactly the rows whose plain code sum stays
    // below the threshold of a middling worst value.
    std::vector<std::uint32_t> ids(sketch.rows()), kept;
    for (std::uint32_t id = 0; id < ids.size(); ++id) ids[id] = id;
    const double worst = fn(query, metrics::Vec(rows.data() + (ids.size() / 2) * dim, dim));
    const std::int32_t threshold = sketch.code_threshold(worst);
    for (std::uint32_t id : ids) {
      if (tarsim::testing::Knobs::code_sum(sketch, prepared, id) < threshold) kept.push_back(id);
    }
    ids.resize(sketch.code_survivors_of(prepared, threshold, ids.data(), ids.size(), ids.data()));
    if (ids != kept) return "code kernel keeps other rows than the code sums";
  }
  for (std::size_t id = 0; id < sketch.rows(); ++id) {
    const double d = fn(query, metrics::Vec(rows.data() + id * dim, dim));
    if (!std::isfinite(d)) continue;
    // The tightest worst values that admit d: the next number up, and d
    // itself for the rows that a tie keeps out.
    const double above = std::nextafter(d, kInf);
    const std::int64_t codes = tarsim::testing::Knobs::code_sum(sketch, prepared, static_cast<std::uint32_t>(id));
    if (enters(d, above) && codes >= sketch.code_threshold(above)) {
      return "row " + std::to_string(id) + " value " + std::to_string(d) + " code sum " +
             std::to_string(codes);
    }
    if (!prepared.usable) continue;
    if (enters(d, above) && !sketch.may_enter(prepared, sketch.threshold(above),
                                              static_cast<std::uint32_t>(id))) {
      return "row " + std::to_string(id) + " value " + std::to_string(d) + " bound " +
             std::to_string(sketch.bound(prepared, static_cast<std::uint32_t>(id)));
    }
  }
  return "";
}

// Runs first_unsound over every kind of data, metric and a range of
// dimensions; returns the first failure.
std::string check_all(const Config& config) {
  std::mt19937_64 rng(77);
  for (Metric metric : kMetrics) {
    for (std::size_t dim : {1, 2, 3, 5, 8, 31, 64, 130, 700}) {
      if (dim > tarsim::testing::sized<std::size_t>(700, 64)) continue;
      for (int kind = 0; kind < 5; ++kind) {
        const std::size_t n = dim >= 130 ? 40 : 120;
        const V rows = make_rows(rng, kind, n, dim);
        Config c = config;
        c.max_axes = static_cast<std::uint32_t>(std::min<std::size_t>(dim, config.max_axes));
        Sketch sketch(static_cast<std::uint32_t>(dim), metric, c);
        sketch.update(rows.data(), n);
        if (!sketch.ready()) return "no basis for dim " + std::to_string(dim);
        const V queries = make_rows(rng, kind, 6, dim);
        for (std::size_t q = 0; q < 6; ++q) {
          const V query(queries.begin() + q * dim, queries.begin() + (q + 1) * dim);
          const std::string fault = first_unsound(sketch, metric, rows, dim, query);
          if (!fault.empty()) {
            return "metric " + std::to_string(int(metric)) + " dim " + std::to_string(dim) +
                   " kind " + std::to_string(kind) + ": " + fault;
          }
        }
      }
    }
  }
  return "";
}

TEST(Sketch, BoundsNeverRuleOutARowThatWouldEnter) {
  EXPECT_EQ(check_all(small_config(6)), "");
  // A basis as wide as the data (up to dimension 64): everything is inside
  // its span, so the bounds come as close to the exact values as they ever do.
  EXPECT_EQ(check_all(small_config(64)), "");
}

// The check above must catch an unsound bound: with the residual term
// dropped, with margins ten times too small (caught on the cosine), or with
// no margin at all (caught on the euclidean distance inside the span), some
// row that would enter is ruled out.
TEST(Sketch, PlantedUnsoundBoundsAreCaught) {
  Config dropped = small_config(6);
  dropped.drop_tail = true;
  const std::string dropped_fault = check_all(dropped);
  EXPECT_NE(dropped_fault, "");
  for (double scale : {0.1, 0.0}) {
    Config small_margin = small_config(64);
    small_margin.margin_scale = scale;
    const std::string margin_fault = check_all(small_margin);
    EXPECT_NE(margin_fault, "") << scale;
    std::printf("margin x%g caught: %s\n", scale, margin_fault.c_str());
  }
  std::printf("dropped tail caught: %s\n", dropped_fault.c_str());
  // A code threshold a tenth too low.
  Config low_codes = small_config(6);
  low_codes.code_threshold_scale = 0.9;
  const std::string codes_fault = check_all(low_codes);
  EXPECT_NE(codes_fault, "");
  std::printf("code threshold x0.9 caught: %s\n", codes_fault.c_str());
}

// Rows on wildly different scales with the default size rule, a little past
// the first fit (the later rows coded on the grid of the fitted ones), at
// the dimensions on either side of the codes' rule; queries among the rows
// and fresh ones. A tiny query's worst then lies far below the grid's step.
TEST(Sketch, BoundsHoldOnRowsOfWildlyDifferentScales) {
  std::mt19937_64 rng(79);
  std::size_t coded = 0;
  for (Metric metric : kMetrics) {
    for (std::size_t dim : {65, 129, 130, 193}) {
      const std::size_t fit = 200, n = 240;
      Config config;
      config.min_rows = fit;
      config.codes = true;
      Sketch sketch(static_cast<std::uint32_t>(dim), metric, config);
      const V rows = make_rows(rng, 5, n, dim);
      sketch.update(rows.data(), fit);
      sketch.update(rows.data(), n);
      ASSERT_TRUE(sketch.ready());
      ASSERT_EQ(sketch.fits(), 1u);
      EXPECT_EQ(sketch.coding(), metric == Metric::Euclidean && dim >= 128) << dim;
      coded += sketch.coding();
      const V fresh = make_rows(rng, 5, 12, dim);
      std::string fault;
      for (std::size_t q = 0; q < 24 && fault.empty(); ++q) {
        const double* at =
            q < 12 ? rows.data() + (fit - 6 + q) * dim : fresh.data() + (q - 12) * dim;
        fault = first_unsound(sketch, metric, rows, dim, V(at, at + dim));
      }
      EXPECT_EQ(fault, "") << "metric " << int(metric) << " dim " << dim;
    }
  }
  EXPECT_EQ(coded, 3u);
}

// The euclidean scans take their bounds from the SIMD record kernel, the
// checks above from Sketch::bound: every path must give the same bits for
// every record, named by ids in any order or taken in a run, for every width
// of record and every kind of data, the hostile one and unusable queries
// included.
TEST(Sketch, EveryPathGivesTheEuclideanBoundsOfTheScalarRecord) {
  using metrics::simd::Path;
  std::mt19937_64 rng(31);
  auto same = [](double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) ==
                                                   std::bit_cast<std::uint64_t>(b);
  };
  std::size_t compared = 0;
  for (Path path : {Path::Scalar, Path::Avx2, Path::Avx512, Path::Neon}) {
    if (!metrics::simd::supported(path)) continue;
    for (std::size_t dim : {1, 3, 8, 31, 130}) {
      for (std::uint32_t axes : {1u, 5u, 6u, 13u, 29u}) {
        for (int kind = 0; kind < 5; ++kind) {
          const std::size_t n = 60;
          const V rows = make_rows(rng, kind, n, dim);
          Sketch sketch(static_cast<std::uint32_t>(dim), Metric::Euclidean,
                        small_config(std::min<std::uint32_t>(axes, dim)));
          sketch.update(rows.data(), n);
          ASSERT_TRUE(sketch.ready());
          const V queries = make_rows(rng, kind, 3, dim);
          for (std::size_t q = 0; q < 3; ++q) {
            Query prepared;
            sketch.prepare(V(queries.begin() + q * dim, queries.begin() + (q + 1) * dim),
                           prepared);
            std::vector<std::uint32_t> ids(1 + rng() % 40);
            for (auto& id : ids) id = static_cast<std::uint32_t>(rng() % n);
            for (bool named : {true, false}) {
              const std::size_t count = named ? ids.size() : n;
              V lb(count + 1, 12345.0);
              metrics::simd::euclidean_record_bounds(
                  path, prepared.record.data(), sketch.record(0), sketch.stride(), sketch.axes(),
                  named ? ids.data() : nullptr, count, sketch.margin(), lb.data());
              for (std::size_t i = 0; i < count; ++i) {
                const auto id = named ? ids[i] : static_cast<std::uint32_t>(i);
                const double expected = sketch.bound(prepared, id);
                ASSERT_TRUE(same(expected, lb[i]))
                    << metrics::simd::name(path) << " dim " << dim << " axes " << sketch.axes()
                    << " kind " << kind << " row " << id << ": " << expected << " against "
                    << lb[i];
                ++compared;
              }
              EXPECT_EQ(lb[count], 12345.0) << "wrote past the end";
            }
          }
        }
      }
    }
  }
  EXPECT_GT(compared, 5000u);
}

TEST(Sketch, RulesOutFarRowsOfStructuredData) {
  std::mt19937_64 rng(5);
  const std::size_t dim = 64, n = 2000;
  for (Metric metric : kMetrics) {
    for (int kind : {1, 3}) {
      const V rows = make_rows(rng, kind, n, dim);
      Sketch sketch(dim, metric, small_config(8));
      sketch.update(rows.data(), n);
      ASSERT_TRUE(sketch.ready());
      EXPECT_LT(sketch.orthogonality_error(), 1e-12);
      const V query = make_rows(rng, kind, 1, dim);
      // The worst of the 10 best exact values.
      const metrics::DistanceFn fn = metrics::function_of(metric);
      V d(n);
      for (std::size_t id = 0; id < n; ++id) d[id] = fn(query, metrics::Vec(&rows[id * dim], dim));
      V sorted = d;
      std::nth_element(sorted.begin(), sorted.begin() + 9, sorted.end());
      const double worst = sorted[9];
      Query prepared;
      sketch.prepare(query, prepared);
      ASSERT_TRUE(prepared.usable);
      std::vector<std::uint32_t> ids(n);
      const std::size_t live = sketch.survivors(prepared, sketch.threshold(worst), 0, n, ids.data());
      EXPECT_LT(live, n / 4) << "metric " << int(metric) << " kind " << kind;
      // Survivors come in id order and include every row that enters.
      std::size_t next = 0;
      for (std::size_t id = 0; id < n; ++id) {
        const bool kept = next < live && ids[next] == id;
        if (kept) ++next;
        if (d[id] < worst) {
          EXPECT_TRUE(kept) << "row " << id;
        }
      }
    }
  }
}

TEST(Sketch, NothingIsRuledOutForUnprovableRowsOrThresholds) {
  const std::size_t dim = 4;
  Sketch sketch(dim, Metric::Cosine, small_config(2));
  V rows;
  for (int i = 0; i < 16; ++i) rows.insert(rows.end(), {1.0 + i, 2.0, -1.0, 0.5 * i});
  rows.insert(rows.end(), {0.0, 0.0, 0.0, 0.0});        // 16: zero vector under the cosine
  rows.insert(rows.end(), {1.0, kNaN, 0.0, 0.0});       // 17
  rows.insert(rows.end(), {1.0, 2.0, kInf, 0.0});       // 18
  rows.insert(rows.end(), {1e150, 0.0, 0.0, 0.0});      // 19: too large
  rows.insert(rows.end(), {1e-300, 1e-300, 0.0, 0.0});  // 20: too small
  sketch.update(rows.data(), rows.size() / dim);
  ASSERT_TRUE(sketch.ready());
  Query q;
  sketch.prepare(V{1.0, 2.0, -1.0, 0.0}, q);
  ASSERT_TRUE(q.usable);
  // -2 is below every cosine: every provable row is ruled out, no other.
  for (std::uint32_t id = 0; id < 21; ++id) {
    EXPECT_EQ(sketch.may_enter(q, sketch.threshold(-2.0), id), id >= 16) << id;
    EXPECT_TRUE(sketch.may_enter(q, sketch.threshold(kNaN), id)) << id;
    EXPECT_TRUE(sketch.may_enter(q, sketch.threshold(kInf), id)) << id;
  }
  for (const V& bad : {V{0, 0, 0, 0}, V{1, kNaN, 0, 0}, V{1e-300, 0, 0, 0}, V{1, -kInf, 0, 0}}) {
    sketch.prepare(bad, q);
    EXPECT_FALSE(q.usable);
  }
}

TEST(Sketch, RefitsAsTheIndexGrows) {
  std::mt19937_64 rng(9);
  const std::size_t dim = 16;
  const V rows = make_rows(rng, 1, 300, dim);
  Config config = small_config(4);
  config.growth = 8;
  Sketch sketch(dim, Metric::Euclidean, config);
  for (std::size_t n = 1; n <= 300; ++n) {
    sketch.update(rows.data(), n);
    EXPECT_EQ(sketch.ready(), n >= 8);
    if (n >= 8) {
      EXPECT_EQ(sketch.rows(), n);
    }
  }
  EXPECT_EQ(sketch.fits(), 2u);  // at 8 and 64 rows; the next would be at 512
}

TEST(Sketch, DefaultSizeRule) {
  std::mt19937_64 rng(3);
  for (std::size_t dim : {32, 63, 64, 128, 192, 700}) {
    Config config;
    config.min_rows = 16;
    Sketch sketch(static_cast<std::uint32_t>(dim), Metric::Euclidean, config);
    const V rows = make_rows(rng, 0, 20, dim);
    sketch.update(rows.data(), 20);
    if (dim < 64) {
      EXPECT_FALSE(sketch.ready()) << dim;
    } else {
      ASSERT_TRUE(sketch.ready()) << dim;
      EXPECT_LE(sketch.bytes_per_vector() * 4, dim * sizeof(double)) << dim;
    }
  }
}

}  // namespace
}  // namespace tarsim::sketch
