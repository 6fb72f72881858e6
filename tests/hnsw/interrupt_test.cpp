// Interrupted bulk builds and insertions leave a graph that stays valid and
// usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "hnsw/hnsw.hpp"
#include "seeded.hpp"

namespace tarsim::hnsw {
namespace {

using metrics::Metric;

using testing::Seeded;

// Asks to stop at its `stop_at`-th poll (never when 0) and counts the polls.
struct StopAt {
  int stop_at = 0;
  int polls = 0;
  static bool stop(void* context) {
    auto* self = static_cast<StopAt*>(context);
    return ++self->polls == self->stop_at;
  }
};

FloatRows random_rows(std::size_t n, std::uint32_t dim, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  FloatRows rows;
  std::vector<double> row(dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (double& x : row) x = value(engine);
    rows.push_row(row);
  }
  return rows;
}

HNSW make(std::uint32_t dim, std::uint32_t layers = 3, std::uint32_t ef_construction = 64) {
  return HNSW(Params{.dim = dim,
                     .layers = layers,
                     .ef_construction = ef_construction,
                     .ef_search = 4294967295u,
                     .metric = Metric::Euclidean,
                     .schema = std::nullopt});
}

// Every list names stored nodes other than its own, each once; links go both
// ways; each layer's view is the full list cut to the nodes of that layer.
void expect_valid_graph(const HNSW& index) {
  const std::uint32_t n = index.size();
  for (std::uint32_t a = 0; a < n; ++a) {
    const std::vector<std::uint32_t> list = index.neighbors_of(a);
    std::set<std::uint32_t> seen;
    for (std::uint32_t b : list) {
      ASSERT_LT(b, n) << "node " << a;
      ASSERT_NE(b, a);
      ASSERT_TRUE(seen.insert(b).second) << "node " << a << " lists " << b << " twice";
      const std::vector<std::uint32_t> back = index.neighbors_of(b);
      ASSERT_NE(std::find(back.begin(), back.end(), a), back.end())
          << a << " lists " << b << " but not the other way";
    }
    for (std::uint32_t layer = 1; layer < index.layers(); ++layer) {
      std::vector<std::uint32_t> cut;
      for (std::uint32_t b : list) {
        if (index.levels()[b] >= layer) cut.push_back(b);
      }
      ASSERT_EQ(index.neighbors_of(a, layer), cut) << "node " << a << " layer " << layer;
    }
  }
}

// Every node that some list names is found again by its own vector.
void expect_linked_nodes_found(const HNSW& index) {
  std::vector<Scored> out;
  for (std::uint32_t a = 0; a < index.size(); ++a) {
    if (a != 0 && index.neighbors_of(a).empty()) continue;
    ASSERT_EQ(index.search(index.vector(a), 1, nullptr, out), std::nullopt);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].distance, 0.0) << "node " << a;
  }
}

TEST(Interrupt, BulkBuildStopsAndTheGraphStaysValidAndGrowable) {
  const FloatRows rows = random_rows(400, 16, 1);
  HNSW index = make(16);
  Seeded rng(2);
  StopAt stop{.stop_at = 20};
  Interrupt interrupt(StopAt::stop, &stop);
  EXPECT_EQ(index.create(rows, rng, &interrupt), HNSWError::Interrupted);
  const std::uint32_t kept = index.size();
  EXPECT_GT(kept, 1u);
  EXPECT_LT(kept, rows.size());
  expect_valid_graph(index);
  expect_linked_nodes_found(index);

  // The rest goes in afterwards.
  for (std::size_t i = kept; i < rows.size(); ++i) {
    ASSERT_EQ(index.insert(rows.row(i), nullptr, rng), std::nullopt);
  }
  EXPECT_EQ(index.size(), rows.size());
  expect_valid_graph(index);
  expect_linked_nodes_found(index);
}

TEST(Interrupt, ASingleInsertionStopsDuringItsPassesAndKeepsItsNode) {
  constexpr std::uint32_t dim = 256;
  const FloatRows rows = random_rows(400, dim, 3);
  HNSW index = make(dim, 3, 128);
  Seeded rng(4);
  ASSERT_EQ(index.create(rows, rng), std::nullopt);

  // A fresh hook has seen no work: its first poll comes from inside the
  // layer searches, after the node is stored.
  const std::vector<double> extra(dim, 0.25);
  StopAt first{.stop_at = 1};
  Interrupt interrupt(StopAt::stop, &first);
  EXPECT_EQ(index.insert(extra, nullptr, rng, &interrupt), HNSWError::Interrupted);
  EXPECT_EQ(first.polls, 1);
  ASSERT_EQ(index.size(), rows.size() + 1);
  EXPECT_EQ(index.vector(static_cast<std::uint32_t>(rows.size()))[0], 0.25);
  expect_valid_graph(index);

  // Later insertions and searches work, and one that is never stopped is
  // polled along the way.
  StopAt never;
  Interrupt polled(StopAt::stop, &never);
  ASSERT_EQ(index.insert(extra, nullptr, rng, &polled), std::nullopt);
  EXPECT_GT(never.polls, 0);
  expect_valid_graph(index);
  expect_linked_nodes_found(index);
}

TEST(Interrupt, ASearchStopsAndTheIndexAnswersAsBefore) {
  constexpr std::uint32_t dim = 256;
  const FloatRows rows = random_rows(400, dim, 5);
  HNSW index = make(dim, 3, 128);
  Seeded rng(6);
  ASSERT_EQ(index.create(rows, rng), std::nullopt);
  const std::vector<double> query(dim, 0.1);
  std::vector<Scored> want;
  ASSERT_EQ(index.search(query, 10, nullptr, want), std::nullopt);

  // The unbounded width visits all 400 nodes, more than one poll's work.
  StopAt first{.stop_at = 1};
  Interrupt interrupt(StopAt::stop, &first);
  std::vector<Scored> got;
  EXPECT_EQ(index.search(query, 10, nullptr, got, &interrupt), HNSWError::Interrupted);
  EXPECT_EQ(first.polls, 1);

  StopAt never;
  Interrupt polled(StopAt::stop, &never);
  ASSERT_EQ(index.search(query, 10, nullptr, got, &polled), std::nullopt);
  EXPECT_GT(never.polls, 0);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id);
    EXPECT_EQ(got[i].distance, want[i].distance);
  }
}

}  // namespace
}  // namespace tarsim::hnsw
