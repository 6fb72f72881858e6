// The walks that insertion and query search leave out over runs of layers
// holding the same nodes: graphs built with the shortcuts and with the plain
// loop over every layer, from the same draws, must agree list for list and
// answer for answer, on data full of ties, zero vectors and NaN distances.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <optional>
#include <random>

#include "hnsw/hnsw.hpp"
#include "testing/knobs.hpp"

namespace tarsim::hnsw {
namespace {

using metadata::Metadata;
using metadata::Row;
using metrics::Metric;
using tarsim::testing::Knobs;

class Replay : public RandomSource {
 public:
  explicit Replay(const std::vector<double>& draws) : draws_(draws) {}
  double next_uniform() override { return next_ < draws_.size() ? draws_[next_++] : 0.0; }

 private:
  const std::vector<double>& draws_;
  std::size_t next_ = 0;
};

struct Case {
  Params params;
  std::vector<std::vector<double>> vectors;
  std::vector<Row> rows;
  std::vector<double> draws;
};

// Levels spread over a few dozen layers (a draw of 1 - 2^-x gives a level
// near x ln 2), so that present levels leave gaps and runs of every length;
// small integer values, so that distances tie; zero vectors now and then,
// whose cosine is NaN. `top_draws` allows draws so close to 1 that no
// running sum passes them (level layers - 1).
Case make_case(std::mt19937_64& engine, std::uint32_t layers, bool top_draws) {
  auto below = [&](std::uint64_t n) { return engine() % n; };
  Case c;
  const std::uint32_t dims[] = {1, 2, 3, 8};
  const std::uint32_t efs[] = {1, 2, 3, 8, 30};
  const Metric metrics[] = {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine};
  c.params = Params{.dim = dims[below(4)],
                    .layers = layers,
                    .ef_construction = efs[below(5)],
                    .ef_search = efs[below(5)],
                    .metric = metrics[below(3)],
                    .schema = metadata::Schema{"c"}};
  const std::size_t n = 1 + below(400);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> v(c.params.dim, 0.0);
    if (below(10) != 0) {
      for (double& x : v) x = static_cast<double>(static_cast<int>(below(4)) - 1);
    }
    c.vectors.push_back(v);
    c.rows.push_back(Row{Metadata::from_integer(static_cast<std::int64_t>(below(3)))});
    const double spread = 1.0 - std::ldexp(1.0, -static_cast<int>(1 + below(52)));
    const double uniform = static_cast<double>(engine() >> 11) * 0x1p-53;
    c.draws.push_back(top_draws && below(30) == 0 ? std::nextafter(1.0, 0.0) : below(2) == 0 ? spread
                      : below(3) == 0             ? spread
                                                  : uniform);
  }
  return c;
}

HNSW build(const Case& c, std::uint32_t layers, bool runs) {
  Params params = c.params;
  params.layers = layers;
  HNSW index(params);
  Knobs::set_layer_runs(index, runs);
  Replay draws(c.draws);
  for (std::size_t i = 0; i < c.vectors.size(); ++i) {
    EXPECT_EQ(index.insert(c.vectors[i], &c.rows[i], draws), std::nullopt);
  }
  return index;
}

bool same_bits(const std::vector<Scored>& a, const std::vector<Scored>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool nans = std::isnan(a[i].distance) && std::isnan(b[i].distance);
    if (a[i].id != b[i].id || (!nans && std::bit_cast<std::uint64_t>(a[i].distance) !=
                                            std::bit_cast<std::uint64_t>(b[i].distance))) {
      return false;
    }
  }
  return true;
}

// Same lists (each layer's view too, up to `views` layers), same levels
// below the top, and the same answers, filtered or not, to queries.
void expect_same(const HNSW& a, const HNSW& b, std::uint32_t views, std::mt19937_64& engine,
                 const std::string& what) {
  std::vector<std::uint32_t> x, xo, y, yo;
  a.flat_view(x, xo);
  b.flat_view(y, yo);
  ASSERT_EQ(x, y) << what;
  ASSERT_EQ(xo, yo) << what;
  for (std::uint32_t node = 1; node < a.size(); ++node) {
    ASSERT_EQ(a.levels()[node], b.levels()[node]) << what;
  }
  for (std::uint32_t node = 0; node < a.size(); ++node) {
    for (std::uint32_t layer = 1; layer < views; ++layer) {
      ASSERT_EQ(a.neighbors_of(node, layer), b.neighbors_of(node, layer)) << what;
    }
  }
  std::vector<Scored> got, want;
  for (int q = 0; q < 12; ++q) {
    std::vector<double> query(a.dim());
    for (double& v : query) v = static_cast<double>(static_cast<int>(engine() % 5) - 2);
    std::optional<filter::Filter> f;
    if (q % 2 == 1) f = filter::Filter::equal_to("c", Metadata::from_integer(q % 3));
    const filter::Filter* fp = f ? &*f : nullptr;
    const std::uint32_t k = static_cast<std::uint32_t>(engine() % 6);
    ASSERT_EQ(a.search(query, k, fp, got), b.search(query, k, fp, want)) << what;
    ASSERT_TRUE(same_bits(got, want)) << what << ", query " << q;
  }
}

TEST(LayerRuns, ShortcutsGiveThePlainLoopsListsAndAnswers) {
  std::mt19937_64 engine(7);
  const std::uint32_t layer_counts[] = {2, 3, 5, 9, 12, 40, 300};
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t layers = layer_counts[round % 7];
    const Case c = make_case(engine, layers, true);
    const HNSW runs = build(c, layers, true);
    const HNSW plain = build(c, layers, false);
    expect_same(runs, plain, std::min<std::uint32_t>(layers, 40), engine,
                "round " + std::to_string(round));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// e^-i underflows from i = 746 on, so with 1000 layers or more the levels
// drawn are the same, and layers 746 and up hold node 0 alone. A graph of
// 4294967295 layers is then the graph of 1000 layers, which the plain loop
// builds in reasonable time, and answers alike.
TEST(LayerRuns, TheMostLayersGiveTheGraphOfAThousand) {
  std::mt19937_64 engine(11);
  for (int round = 0; round < 40; ++round) {
    const Case c = make_case(engine, 1000, false);
    const HNSW most = build(c, 4294967295u, true);
    const HNSW plain = build(c, 1000, false);
    expect_same(most, plain, 12, engine, "round " + std::to_string(round));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace tarsim::hnsw
