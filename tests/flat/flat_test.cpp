#include "flat/flat.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace tarsim::flat {
namespace {

using metrics::Metric;
using V = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kMaxK = std::numeric_limits<std::uint32_t>::max();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The plain definition: a heap of every (distance, id) pair, popped until
// the result reaches k (checked after each append) or the heap runs dry.
std::vector<Hit> reference_search(const Flat& index, const V& query, std::uint32_t k) {
  struct Later {
    bool operator()(const Hit& a, const Hit& b) const {
      // true when a ranks after b: the queue then yields the best first.
      if (metrics::ranks_before(b.distance, a.distance)) return true;
      if (metrics::ranks_equal(a.distance, b.distance)) return a.id > b.id;
      return false;
    }
  };
  std::priority_queue<Hit, std::vector<Hit>, Later> heap;
  const metrics::DistanceFn fn = metrics::function_of(index.metric());
  const std::size_t n = index.size();
  for (std::size_t id = 0; id < n; ++id) {
    const double* row = index.vectors().data() + id * index.dim();
    heap.push(Hit{static_cast<std::uint32_t>(id), fn(query, metrics::Vec(row, index.dim()))});
  }
  std::vector<Hit> result;
  while (!heap.empty()) {
    result.push_back(heap.top());
    heap.pop();
    if (result.size() >= k) break;
  }
  return result;
}

// Same ids in the same order and the same distances to the last bit.
void expect_same_hits(const std::vector<Hit>& expected, const std::vector<Hit>& actual,
                      const std::string& where) {
  ASSERT_EQ(expected.size(), actual.size()) << where;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].id, actual[i].id) << where << " at rank " << i;
    EXPECT_EQ(bits(expected[i].distance), bits(actual[i].distance))
        << where << " at rank " << i << ": expected " << expected[i].distance << ", got "
        << actual[i].distance;
  }
}

std::vector<Hit> search(const Flat& index, const V& query, std::uint32_t k) {
  std::vector<Hit> out = {Hit{999, 999.0}};  // stale content must be replaced
  auto error = index.search(query, k, out);
  EXPECT_FALSE(error.has_value());
  return out;
}

TEST(Flat, ErrorNames) {
  EXPECT_STREQ(error_name(FlatError::EmptyIndex), "EmptyIndex");
  EXPECT_STREQ(error_name(FlatError::EmptyVectors), "EmptyVectors");
}

TEST(Flat, StartsEmpty) {
  Flat index(3, Metric::Cosine);
  EXPECT_EQ(index.dim(), 3u);
  EXPECT_EQ(index.metric(), Metric::Cosine);
  EXPECT_EQ(index.size(), 0u);
  std::vector<Hit> out;
  EXPECT_EQ(index.search(V{1, 2, 3}, 1, out), FlatError::EmptyIndex);
  EXPECT_TRUE(out.empty());
}

TEST(Flat, StoresRowsBackToBackWithIdsInAddOrder) {
  Flat index(2, Metric::Euclidean);
  index.add(V{1, 2});
  const V more = {3, 4, 5, 6, 7, 8};
  index.add_rows(more.data(), 3);
  index.add(V{9, 10});
  EXPECT_EQ(index.size(), 5u);
  EXPECT_EQ(V(index.vectors().begin(), index.vectors().end()), (V{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  const auto hits = search(index, V{7, 8}, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 3u);
  EXPECT_EQ(hits[0].distance, 0.0);
}

TEST(Flat, ReserveKeepsContentAndGrowsGeometrically) {
  Flat index(4, Metric::Euclidean);
  index.add(V{1, 2, 3, 4});
  index.reserve(10);
  EXPECT_GE(index.vectors().capacity(), 44u);
  EXPECT_EQ(V(index.vectors().begin(), index.vectors().end()), (V{1, 2, 3, 4}));
  EXPECT_EQ(index.size(), 1u);
  // Many small reservations must not each reallocate to the exact size.
  std::size_t reallocations = 0;
  const double* data = index.vectors().data();
  for (int i = 0; i < 1000; ++i) {
    index.reserve(1);
    index.add(V{0, 0, 0, double(i)});
    if (index.vectors().data() != data) {
      ++reallocations;
      data = index.vectors().data();
    }
  }
  EXPECT_LT(reallocations, 20u);
  EXPECT_EQ(index.size(), 1001u);
  EXPECT_EQ(index.vectors()[1000 * 4 + 3], 999.0);
  // An impossible reservation is only a hint and changes nothing.
  index.reserve(std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(index.size(), 1001u);
}

TEST(Flat, ZeroDimensionIsAlwaysEmpty) {
  Flat index(0, Metric::Euclidean);
  index.add(V{});
  index.add_rows(nullptr, 5);
  index.reserve(100);
  EXPECT_EQ(index.size(), 0u);
  EXPECT_TRUE(index.vectors().empty());
  std::vector<Hit> out;
  EXPECT_EQ(index.search(V{}, 1, out), FlatError::EmptyIndex);
}

TEST(Flat, KZeroGivesOneAndLargeKGivesAll) {
  Flat index(1, Metric::Euclidean);
  for (double x : {5.0, 1.0, 3.0}) index.add(V{x});
  auto hits = search(index, V{0}, 0);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 1u);
  hits = search(index, V{0}, 3);
  ASSERT_EQ(hits.size(), 3u);
  hits = search(index, V{0}, kMaxK);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, 1u);
  EXPECT_EQ(hits[1].id, 2u);
  EXPECT_EQ(hits[2].id, 0u);
  EXPECT_EQ(hits[2].distance, 5.0);
}

TEST(Flat, SimilaritiesRankAscending) {
  Flat index(2, Metric::InnerProduct);
  index.add(V{1, 0});
  index.add(V{10, 0});
  const auto hits = search(index, V{1, 0}, 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 0u);
  EXPECT_EQ(hits[0].distance, 1.0);
  EXPECT_EQ(hits[1].id, 1u);
  EXPECT_EQ(hits[1].distance, 10.0);
}

TEST(Flat, TiesGoToTheLowerId) {
  Flat index(2, Metric::Euclidean);
  index.add(V{0, 1});   // distance 1
  index.add(V{1, 0});   // distance 1
  index.add(V{0, -1});  // distance 1
  index.add(V{0, 0});   // distance 0
  const auto hits = search(index, V{0, 0}, 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, 3u);
  EXPECT_EQ(hits[1].id, 0u);
  EXPECT_EQ(hits[2].id, 1u);
}

TEST(Flat, CosineNaNsComeLastInIdOrder) {
  Flat index(2, Metric::Cosine);
  index.add(V{0, 0});  // NaN
  index.add(V{1, 0});  // 1
  index.add(V{0, 0});  // NaN
  index.add(V{-1, 0});  // -1
  const auto hits = search(index, V{1, 0}, 10);
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(hits[0].id, 3u);
  EXPECT_EQ(hits[0].distance, -1.0);
  EXPECT_EQ(hits[1].id, 1u);
  EXPECT_EQ(hits[2].id, 0u);
  EXPECT_TRUE(std::isnan(hits[2].distance));
  EXPECT_EQ(hits[3].id, 2u);
  EXPECT_TRUE(std::isnan(hits[3].distance));
  // A zero query scores NaN against everything: plain id order.
  const auto all_nan = search(index, V{0, 0}, 4);
  ASSERT_EQ(all_nan.size(), 4u);
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(all_nan[i].id, i);
    EXPECT_TRUE(std::isnan(all_nan[i].distance));
  }
}

TEST(Flat, SignedZerosTieAndKeepTheirSign) {
  // With an infinite query norm every finite dot becomes a zero with the
  // dot's sign: -0.0 and +0.0 must rank equal (by id) and come back as is.
  Flat index(2, Metric::Cosine);
  index.add(V{0, 1});   // +0.0
  index.add(V{0, -1});  // -0.0
  index.add(V{0, 2});   // +0.0
  index.add(V{0, -3});  // -0.0
  const auto hits = search(index, V{1e300, 1}, 4);
  ASSERT_EQ(hits.size(), 4u);
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(hits[i].id, i);
    EXPECT_EQ(hits[i].distance, 0.0);
    EXPECT_EQ(std::signbit(hits[i].distance), i % 2 == 1) << "id " << i;
  }
}

// Random indexes with many ties, signed zeros, infinities and NaNs, across
// the chunk size of the scan, against the full heap.
struct Case {
  Metric metric;
  std::size_t dim;
  std::size_t n;
  int values;  // 0: small integers, 1: specials mixed in, 2: ±0 / NaN cosine
};

TEST(Flat, MatchesFullHeapOnRandomIndexes) {
  std::mt19937_64 rng(2024);
  const double specials[] = {0.0, -0.0, kInf, -kInf, 1e300, -1e300, 1.0, -1.0, 2.0};
  const Case cases[] = {
      {Metric::Euclidean, 3, 1, 0},      {Metric::Euclidean, 3, 57, 0},
      {Metric::Euclidean, 2, 3000, 0},   {Metric::InnerProduct, 4, 700, 0},
      {Metric::InnerProduct, 3, 2100, 1}, {Metric::Euclidean, 5, 1500, 1},
      {Metric::Cosine, 3, 900, 1},       {Metric::Cosine, 2, 2500, 2},
      {Metric::Cosine, 7, 1024, 0},      {Metric::InnerProduct, 17, 1025, 0},
      {Metric::Euclidean, 128, 300, 0},
  };
  for (const Case& c : cases) {
    Flat index(static_cast<std::uint32_t>(c.dim), c.metric);
    V row(c.dim);
    for (std::size_t i = 0; i < c.n; ++i) {
      for (double& x : row) {
        if (c.values == 0) {
          x = static_cast<double>(rng() % 3) - 1;
        } else if (c.values == 1) {
          x = rng() % 4 == 0 ? specials[rng() % std::size(specials)]
                             : static_cast<double>(rng() % 3) - 1;
        } else {
          x = static_cast<double>(rng() % 3) - 1;
        }
      }
      if (c.values == 2) row[0] = rng() % 4 == 0 ? 1e-300 : 0.0;
      index.add(row);
    }
    for (int q = 0; q < 4; ++q) {
      V query(c.dim);
      for (double& x : query) {
        x = c.values == 1 && rng() % 5 == 0 ? specials[rng() % std::size(specials)]
                                            : static_cast<double>(rng() % 3) - 1;
      }
      if (c.values == 2) query[0] = 1e300;  // infinite norm: only ±0 and NaN
      const std::uint32_t n = static_cast<std::uint32_t>(c.n);
      for (std::uint32_t k : {0u, 1u, 2u, 5u, 10u, 64u, n / 2, n - 1, n, n + 1, kMaxK}) {
        const std::string where = "metric " + std::to_string(int(c.metric)) + " dim " +
                                  std::to_string(c.dim) + " n " + std::to_string(c.n) +
                                  " query " + std::to_string(q) + " k " + std::to_string(k);
        expect_same_hits(reference_search(index, query, k), search(index, query, k), where);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace tarsim::flat
