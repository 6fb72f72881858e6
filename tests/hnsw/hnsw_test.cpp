// Hand-worked cases of the graph index: construction, level draws, linking,
// layer search, query search, bulk build and every error path.
#include "hnsw/hnsw.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace tarsim::hnsw {
namespace {

using metadata::Metadata;
using metadata::Row;
using metadata::Schema;
using metrics::Metric;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class Scripted : public RandomSource {
 public:
  explicit Scripted(std::vector<double> draws = {}) : draws_(std::move(draws)) {}
  double next_uniform() override {
    if (used_ >= draws_.size()) {
      ADD_FAILURE() << "unexpected random draw";
      return 0.0;
    }
    return draws_[used_++];
  }
  std::size_t used() const { return used_; }

 private:
  std::vector<double> draws_;
  std::size_t used_ = 0;
};

// Any draw below 0.73 gives level 0 with two layers, above it level 1.
constexpr double kLevel0 = 0.5;
constexpr double kLevel1 = 0.9;

HNSW make(std::uint32_t dim, Metric metric, std::uint32_t layers = 5,
          std::uint32_t ef_construction = 200, std::uint32_t ef_search = 50,
          std::optional<Schema> schema = std::nullopt) {
  return HNSW(Params{.dim = dim,
                     .layers = layers,
                     .m = 16,
                     .ef_construction = ef_construction,
                     .ef_search = ef_search,
                     .metric = metric,
                     .schema = std::move(schema)});
}

std::vector<std::uint32_t> ids_of(const std::vector<Scored>& scored) {
  std::vector<std::uint32_t> ids;
  for (const Scored& s : scored) ids.push_back(s.id);
  return ids;
}

// The same ids with bit-identical distances, in the same order.
bool same(const std::vector<Scored>& a, const std::vector<Scored>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Scored& x, const Scored& y) {
    return x.id == y.id &&
           std::bit_cast<std::uint64_t>(x.distance) == std::bit_cast<std::uint64_t>(y.distance);
  });
}

void insert_all(HNSW& index, const std::vector<std::vector<double>>& vectors, double draw = 0.0) {
  for (const auto& v : vectors) {
    Scripted rng({draw});
    ASSERT_EQ(index.insert(v, nullptr, rng), std::nullopt);
  }
}

void flat(const HNSW& index, std::vector<std::uint32_t>& neighbors,
          std::vector<std::uint32_t>& offsets) {
  index.flat_view(neighbors, offsets);
}

// ---------------------------------------------------------------- construction

TEST(Construction, LevelWeightsOfFiveLayers) {
  HNSW index = make(4, Metric::Euclidean);
  EXPECT_EQ(index.level_weights(),
            (std::vector<double>{1.0, 0.36787944117144233, 0.1353352832366127,
                                 0.049787068367863944, 0.01831563888873418}));
  EXPECT_EQ(index.layers(), 5u);
  EXPECT_EQ(index.m(), 16u);
  EXPECT_EQ(index.ef_construction(), 200u);
  EXPECT_EQ(index.ef_search(), 50u);
  EXPECT_FALSE(index.schema().has_value());
  EXPECT_EQ(index.size(), 0u);
}

TEST(Construction, OneAndZeroLayers) {
  EXPECT_EQ(make(4, Metric::Euclidean, 1).level_weights(), std::vector<double>{1.0});
  EXPECT_TRUE(make(4, Metric::Euclidean, 0).level_weights().empty());
}

TEST(Construction, ManyLayersMatchExpOfEveryIndex) {
  // The tail past e^-745 underflows to zero and is not stored.
  HNSW index = make(2, Metric::Euclidean, 1000);
  EXPECT_EQ(index.level_weights().size(), 746u);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(index.level_weight(i)),
              std::bit_cast<std::uint64_t>(std::exp(-static_cast<double>(i))))
        << i;
  }
  EXPECT_GT(index.level_weight(745), 0.0);
  EXPECT_EQ(index.level_weight(746), 0.0);
}

TEST(Construction, EmptySchemaStaysPresent) {
  HNSW index = make(2, Metric::Euclidean, 5, 200, 50, Schema{});
  ASSERT_TRUE(index.schema().has_value());
  EXPECT_TRUE(index.schema()->empty());
}

// ---------------------------------------------------------------- level draws

// The running-sum walk written out directly.
std::uint32_t walk(const std::vector<double>& weights, double u) {
  double total = 0.0;
  for (double w : weights) total += w;
  double threshold = total * u;
  double running = 0.0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    running += weights[i];
    if (running > threshold) return static_cast<std::uint32_t>(i);
  }
  return static_cast<std::uint32_t>(weights.size()) - 1;
}

TEST(LevelDraw, FollowsTheRunningSum) {
  const double just_below_one = std::nextafter(1.0, 0.0);
  for (std::uint32_t layers : {1u, 2u, 3u, 5u, 800u}) {
    HNSW index = make(1, Metric::Euclidean, layers, 1);
    std::vector<double> draws{0.0, 0.1, 0.5, 0.63, 0.64, 0.73, 0.87, 0.95, 0.99, 0.999,
                              0.9999, 0.99999999, just_below_one};
    insert_all(index, {{0.0}});
    for (double u : draws) {
      Scripted rng({u});
      ASSERT_EQ(index.insert(std::vector<double>{1.0}, nullptr, rng), std::nullopt);
      EXPECT_EQ(index.levels().back(), walk(index.level_weights(), u))
          << "layers " << layers << " u " << u;
    }
  }
}

TEST(LevelDraw, ZeroGivesLevelZeroAndNearOneGivesTheTop) {
  for (std::uint32_t layers = 1; layers <= 5; ++layers) {
    HNSW index = make(1, Metric::Euclidean, layers, 1);
    insert_all(index, {{0.0}, {1.0}}, 0.0);
    EXPECT_EQ(index.levels(), (std::vector<std::uint32_t>{layers - 1, 0}));
  }
  HNSW index = make(1, Metric::Euclidean, 5, 1);
  insert_all(index, {{0.0}, {1.0}}, std::nextafter(1.0, 0.0));
  EXPECT_EQ(index.levels()[1], 4u);
}

TEST(LevelDraw, ARunningSumEqualToTheThresholdDoesNotQualify) {
  // Find draws whose threshold lands exactly on a running sum: the level is
  // then the next one.
  HNSW probe = make(1, Metric::Euclidean, 5, 1);
  const auto& w = probe.level_weights();
  double total = 0.0;
  for (double x : w) total += x;
  int hits = 0;
  double running = 0.0;
  for (std::uint32_t i = 0; i + 1 < w.size(); ++i) {
    running += w[i];
    double u = running / total;
    for (int step = 0; step < 8 && total * u != running; ++step) {
      u = std::nextafter(u, total * u < running ? 1.0 : 0.0);
    }
    if (total * u != running) continue;
    ++hits;
    HNSW index = make(1, Metric::Euclidean, 5, 1);
    insert_all(index, {{0.0}, {1.0}}, u);
    EXPECT_EQ(index.levels()[1], i + 1) << "running sum " << running;
  }
  EXPECT_GT(hits, 0);
}

TEST(LevelDraw, TheLargestLayerCountIsCheapAndDrawsFromTheSameWeights) {
  // 4294967295 layers would be 32 GiB of weights if the zeros were stored.
  constexpr std::uint32_t kLayers = std::numeric_limits<std::uint32_t>::max();
  HNSW index = make(1, Metric::Euclidean, kLayers, /*ef_construction=*/0);
  EXPECT_EQ(index.layers(), kLayers);
  EXPECT_EQ(index.level_weights().size(), 746u);
  EXPECT_EQ(index.level_weight(kLayers - 1), 0.0);
  EXPECT_LT(index.memory_bytes(), std::size_t{1} << 16);

  // With ef_construction 0 an insertion stops at its first linking pass, on
  // its own level, so only the draw runs over the layers.
  std::vector<double> reference;
  for (int i = 0; i < 1000; ++i) reference.push_back(std::exp(-static_cast<double>(i)));
  insert_all(index, {{0.0}});
  EXPECT_EQ(index.levels().back(), kLayers - 1);
  for (double u : {0.0, 0.5, 0.7, 0.9, 0.99, 0.999999, 0.99999999, std::nextafter(1.0, 0.0)}) {
    Scripted rng({u});
    EXPECT_EQ(index.insert(std::vector<double>{1.0}, nullptr, rng), HNSWError::InvalidEF);
    EXPECT_EQ(index.levels().back(), walk(reference, u)) << "u " << u;
  }
  EXPECT_EQ(index.size(), 9u);
}

// ---------------------------------------------------------------- insertion

TEST(Insert, FirstNodeDrawsNothingAndTakesTheTopLevel) {
  HNSW index = make(3, Metric::Euclidean);
  Scripted none;
  ASSERT_EQ(index.insert(std::vector<double>{1, 2, 3}, nullptr, none), std::nullopt);
  EXPECT_EQ(none.used(), 0u);
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(index.levels(), std::vector<std::uint32_t>{4});
  std::vector<std::uint32_t> neighbors, offsets;
  flat(index, neighbors, offsets);
  EXPECT_TRUE(neighbors.empty());
  EXPECT_EQ(offsets, std::vector<std::uint32_t>{0});
  auto v = index.vector(0);
  EXPECT_EQ(std::vector<double>(v.begin(), v.end()), (std::vector<double>{1, 2, 3}));
}

TEST(Insert, SecondNodeAtTheTopLevelIsLinkedOnce) {
  HNSW index = make(2, Metric::Euclidean, 2);
  insert_all(index, {{0, 0}});
  Scripted rng({kLevel1});
  ASSERT_EQ(index.insert(std::vector<double>{3, 4}, nullptr, rng), std::nullopt);
  EXPECT_EQ(rng.used(), 1u);
  EXPECT_EQ(index.levels(), (std::vector<std::uint32_t>{1, 1}));
  std::vector<std::uint32_t> neighbors, offsets;
  flat(index, neighbors, offsets);
  EXPECT_EQ(neighbors, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 1}));
}

TEST(Insert, SecondNodeAtLevelZeroKeepsNoSelfLinkAndNoRepeat) {
  // Two linking passes find both nodes twice; written out in full the lists
  // would be [1, 1] and [0, 1, 1, 0].
  HNSW index = make(2, Metric::Euclidean, 2);
  insert_all(index, {{0, 0}});
  Scripted rng({kLevel0});
  ASSERT_EQ(index.insert(std::vector<double>{3, 4}, nullptr, rng), std::nullopt);
  std::vector<std::uint32_t> neighbors, offsets;
  flat(index, neighbors, offsets);
  EXPECT_EQ(neighbors, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(index.neighbors_of(0), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(index.neighbors_of(1), (std::vector<std::uint32_t>{0}));
}

TEST(Insert, MemoryBytesCoversVectorsAndLinks) {
  HNSW index = make(3, Metric::Euclidean, 2);
  const std::size_t empty = index.memory_bytes();
  std::vector<std::vector<double>> vectors;
  for (int i = 0; i < 50; ++i) vectors.push_back({double(i), double(i % 7), double(i % 3)});
  insert_all(index, vectors, 0.5);
  std::size_t links = 0;
  for (std::uint32_t i = 0; i < index.size(); ++i) links += index.neighbors_of(i).size();
  EXPECT_GT(links, 0u);
  EXPECT_GE(index.memory_bytes(), empty + 50 * 3 * sizeof(double) + links * sizeof(std::uint32_t));
}

// A scratch set counts what its buffers hold, whichever buffer grew, and
// gives the count back when they shrink; the pool counts the sets it keeps.
TEST(Scratch, CountsItsOwnBuffers) {
  SearchScratch scratch;
  const std::size_t bare = scratch.memory_bytes();
  EXPECT_EQ(bare, sizeof(SearchScratch));
  scratch.next_visit_stamp(1000);
  scratch.start_memo(300);
  for (int i = 0; i < 70; ++i) scratch.candidates.push_back(candidate_key(i, i));
  scratch.pending_distances.resize(33);
  const std::size_t buffers =
      scratch.visit_stamps.capacity() + scratch.memo_at.capacity() * sizeof(std::uint32_t) +
      scratch.memo_distance.capacity() * sizeof(double) +
      scratch.candidates.capacity() * sizeof(CandidateKey) +
      scratch.pending_distances.capacity() * sizeof(double);
  EXPECT_GE(buffers, 1000 + 300 * 12 + 70 * 16 + 33 * 8);
  EXPECT_EQ(scratch.memory_bytes(), bare + buffers);
  scratch.candidates.clear();
  scratch.candidates.shrink_to_fit();
  scratch.memo_at = SearchScratch::Buffer<std::uint32_t>(scratch.memo_at.get_allocator());
  EXPECT_EQ(scratch.memory_bytes(), bare + scratch.visit_stamps.capacity() +
                                        scratch.memo_distance.capacity() * sizeof(double) +
                                        scratch.pending_distances.capacity() * sizeof(double));

  ScratchPool pool;
  {
    const ScratchLease outer(pool);
    (*outer).next_visit_stamp(500);
    const ScratchLease inner(pool);  // a search inside a search
    (*inner).next_visit_stamp(200);
  }
  EXPECT_EQ(pool.memory_bytes(),
            2 * sizeof(std::unique_ptr<SearchScratch>) + 2 * sizeof(SearchScratch) + 500 + 200);
}

TEST(Insert, ZeroLayersStoreNodesAndLinkNothing) {
  HNSW index = make(2, Metric::Euclidean, 0);
  Scripted rng({0.3, 0.7});
  for (double x : {0.0, 1.0, 2.0}) {
    ASSERT_EQ(index.insert(std::vector<double>{x, x}, nullptr, rng), std::nullopt);
  }
  EXPECT_EQ(rng.used(), 2u);  // every node after the first still draws
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(index.levels(), (std::vector<std::uint32_t>(3, 4294967295u)));
  std::vector<std::uint32_t> neighbors, offsets;
  flat(index, neighbors, offsets);
  EXPECT_TRUE(neighbors.empty());
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 0, 0}));

  std::vector<Scored> out;
  EXPECT_EQ(index.search(std::vector<double>{0, 0}, 1, nullptr, out), HNSWError::InvalidLayer);
  HNSW empty = make(2, Metric::Euclidean, 0);
  EXPECT_EQ(empty.search(std::vector<double>{0, 0}, 1, nullptr, out), std::nullopt);
  EXPECT_TRUE(out.empty());
}

TEST(Insert, ZeroEfConstructionFailsAfterStoringTheNode) {
  HNSW index = make(2, Metric::Euclidean, 2, 0, 50, Schema{"tag"});
  Row row0{Metadata::from_integer(0)}, row1{Metadata::from_integer(1)};
  Scripted rng({kLevel1, kLevel0});
  ASSERT_EQ(index.insert(std::vector<double>{0, 0}, &row0, rng), std::nullopt);
  EXPECT_EQ(index.insert(std::vector<double>{1, 1}, &row1, rng), HNSWError::InvalidEF);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(index.levels(), (std::vector<std::uint32_t>{1, 1}));
  ASSERT_EQ(index.row(1).size(), 1u);
  EXPECT_EQ(index.row(1)[0].as_integer(), 1);
  // The layer-0 descent ran, the layer-1 link did not.
  EXPECT_TRUE(index.neighbors_of(0).empty());
  EXPECT_EQ(index.insert(std::vector<double>{2, 2}, nullptr, rng), HNSWError::InvalidEF);
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(rng.used(), 2u);
}

TEST(Insert, WrongLengthIsRefusedBeforeAnythingIsStored) {
  HNSW index = make(2, Metric::Euclidean);
  Scripted none;
  EXPECT_EQ(index.insert(std::vector<double>{1, 2, 3}, nullptr, none), HNSWError::InvalidNodeID);
  EXPECT_EQ(index.size(), 0u);
  insert_all(index, {{1, 2}});
  EXPECT_EQ(index.insert(std::vector<double>{1}, nullptr, none), HNSWError::InvalidNodeID);
  EXPECT_EQ(none.used(), 0u);
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(index.vectors().size(), 2u);
}

TEST(Insert, AVectorReadFromTheIndexItselfIsCopiedFirst) {
  HNSW index = make(3, Metric::Euclidean, 1, 4);
  insert_all(index, {{1, 2, 3}});
  Scripted rng(std::vector<double>(64, 0.0));
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(index.insert(index.vector(static_cast<std::uint32_t>(i)), nullptr, rng),
              std::nullopt);
  }
  for (std::uint32_t id = 0; id < index.size(); ++id) {
    auto v = index.vector(id);
    ASSERT_EQ(std::vector<double>(v.begin(), v.end()), (std::vector<double>{1, 2, 3})) << id;
  }
}

TEST(Insert, RowsAreKeptPerNode) {
  // Node 1 comes without a row: it gets one that passes no filter, and
  // node 2 still reads its own row.
  HNSW index = make(1, Metric::Euclidean, 1, 200, 50, Schema{"color", "size"});
  Row red{Metadata::from_string("red"), Metadata::from_integer(1)};
  Row blue{Metadata::from_string("blue"), Metadata::from_integer(2)};
  Row short_row{Metadata::from_string("blue")};
  Scripted rng({0.0, 0.0, 0.0});
  ASSERT_EQ(index.insert(std::vector<double>{0}, &red, rng), std::nullopt);
  ASSERT_EQ(index.insert(std::vector<double>{1}, nullptr, rng), std::nullopt);
  ASSERT_EQ(index.insert(std::vector<double>{2}, &blue, rng), std::nullopt);
  ASSERT_EQ(index.insert(std::vector<double>{3}, &short_row, rng), std::nullopt);
  EXPECT_EQ(index.row(0)[0].as_string(), "red");
  EXPECT_TRUE(index.row(1).empty());
  ASSERT_EQ(index.row(2).size(), 2u);
  EXPECT_EQ(index.row(2)[0].as_string(), "blue");
  EXPECT_EQ(index.row(2)[1].as_integer(), 2);
  EXPECT_TRUE(index.row(3).empty());
}

// ---------------------------------------------------------------- bisection

TEST(ResultPosition, EqualDistancesGoBeforeTheLastEqualEntryLandedOn) {
  std::vector<Scored> r{{1.0, 0}, {2.0, 1}, {2.0, 2}, {3.0, 3}};
  std::size_t at = result_position(r, 2.0);
  r.insert(r.begin() + at, Scored{2.0, 4});
  EXPECT_EQ(ids_of(r), (std::vector<std::uint32_t>{0, 1, 4, 2, 3}));

  std::vector<Scored> single{{2.0, 1}};
  single.insert(single.begin() + result_position(single, 2.0), Scored{2.0, 4});
  EXPECT_EQ(ids_of(single), (std::vector<std::uint32_t>{4, 1}));
}

TEST(ResultPosition, MatchesTheBisectionInDistanceOrder) {
  // The rule written out with the distance order, on sorted lists full of
  // ties, signed zeros, infinities and NaNs.
  auto rule = [](const std::vector<Scored>& r, double d) -> std::size_t {
    if (r.empty()) return 0;
    std::size_t base = 0, size = r.size();
    while (size > 1) {
      const std::size_t half = size / 2;
      if (!metrics::ranks_before(d, r[base + half].distance)) base += half;
      size -= half;
    }
    return metrics::ranks_before(r[base].distance, d) ? base + 1 : base;
  };
  const double values[] = {-1.0, -0.0, 0.0, 0.5, 1.0, 1.0, 2.0,
                           std::numeric_limits<double>::infinity(), kNaN};
  std::mt19937_64 rng(3);
  for (int round = 0; round < 20000; ++round) {
    std::vector<Scored> r;
    const std::size_t len = rng() % 12;
    for (std::size_t i = 0; i < len; ++i) r.push_back({values[rng() % 9], std::uint32_t(i)});
    std::stable_sort(r.begin(), r.end(), [](const Scored& a, const Scored& b) {
      return metrics::ranks_before(a.distance, b.distance);
    });
    const double d = values[rng() % 9];
    ASSERT_EQ(result_position(r, d), rule(r, d)) << "round " << round;
  }
}

TEST(ResultPosition, NaNAndSignedZero) {
  EXPECT_EQ(result_position({}, kNaN), 0u);
  std::vector<Scored> numbers{{1.0, 0}, {2.0, 1}};
  EXPECT_EQ(result_position(numbers, kNaN), 2u);
  std::vector<Scored> with_nan{{1.0, 0}, {kNaN, 1}};
  EXPECT_EQ(result_position(with_nan, kNaN), 1u);  // before the NaN it lands on
  EXPECT_EQ(result_position(with_nan, 5.0), 1u);
  std::vector<Scored> only_nan{{kNaN, 0}};
  EXPECT_EQ(result_position(only_nan, -1e300), 0u);
  std::vector<Scored> zero{{0.0, 0}};
  EXPECT_EQ(result_position(zero, -0.0), 0u);
  std::vector<Scored> inf{{std::numeric_limits<double>::infinity(), 0}};
  EXPECT_EQ(result_position(inf, kNaN), 1u);
  EXPECT_EQ(result_position(inf, 1e308), 0u);
}

// The walk's heap orders candidates by order_key: it must agree with
// ranks_before on every pair, the special values and the ends of each
// binade included.
TEST(OrderKey, AgreesWithTheDistanceOrder) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double denormal = std::numeric_limits<double>::denorm_min();
  std::vector<double> values{-kInf, -1e300, -1.0, -denormal, -0.0, 0.0, denormal, 1.0,
                             1e300, kInf, kNaN, -kNaN, std::nextafter(1.0, 2.0),
                             std::nextafter(-1.0, -2.0), std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest()};
  std::mt19937_64 rng(9);
  for (int i = 0; i < 200; ++i) {
    values.push_back(std::bit_cast<double>(rng()));
    values.push_back(std::ldexp(static_cast<double>(rng() % 1000) - 500, -int(rng() % 40)));
  }
  for (double a : values) {
    for (double b : values) {
      ASSERT_EQ(order_key(a) < order_key(b), metrics::ranks_before(a, b)) << a << " " << b;
    }
  }
}

// ---------------------------------------------------------------- layer search

// A one-layer cosine graph in which every node is linked to every other:
// 0:[1,2,3] 1:[0,2,3] 2:[0,1,3] 3:[0,2,1]. Node 1 is the zero vector, so
// every distance to it is NaN.
HNSW cosine_graph() {
  HNSW index = make(2, Metric::Cosine, 1);
  insert_all(index, {{1, 0}, {0, 0}, {1, 1}, {-1, 0}});
  return index;
}

TEST(LayerSearch, CosineGraphIsComplete) {
  HNSW index = cosine_graph();
  EXPECT_EQ(index.neighbors_of(0), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(index.neighbors_of(1), (std::vector<std::uint32_t>{0, 2, 3}));
  EXPECT_EQ(index.neighbors_of(2), (std::vector<std::uint32_t>{0, 1, 3}));
  EXPECT_EQ(index.neighbors_of(3), (std::vector<std::uint32_t>{0, 2, 1}));
}

TEST(LayerSearch, NaNIsAdmittedOnlyWhileNotFullAndBlocksLaterAdmissions) {
  HNSW index = cosine_graph();
  std::vector<Scored> out;
  // ef 2: the NaN neighbour fills the list; no number is less than NaN.
  ASSERT_EQ(index.knn(0, std::vector<double>{1, 0}, 2, 0, nullptr, out), std::nullopt);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].id, 0u);
  EXPECT_EQ(out[0].distance, 1.0);
  EXPECT_EQ(out[1].id, 1u);
  EXPECT_TRUE(std::isnan(out[1].distance));
  // ef 3: node 2 gets in before the list is full and sorts before the NaN.
  ASSERT_EQ(index.knn(0, std::vector<double>{1, 0}, 3, 0, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{2, 0, 1}));
  // ef 4: everything fits, nearest (most opposite) first, NaN last.
  ASSERT_EQ(index.knn(0, std::vector<double>{1, 0}, 4, 0, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{3, 2, 0, 1}));
  EXPECT_EQ(out[0].distance, -1.0);
}

TEST(LayerSearch, NaNEntryNeverStopsTheWalk) {
  HNSW index = cosine_graph();
  std::vector<Scored> out;
  // From the zero vector every candidate is expanded; with ef 1 nothing
  // can replace the NaN entry.
  ASSERT_EQ(index.knn(1, std::vector<double>{1, 0}, 1, 0, nullptr, out), std::nullopt);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].id, 1u);
  // A zero query scores NaN everywhere: each new NaN goes before the last
  // NaN the bisection lands on.
  ASSERT_EQ(index.knn(0, std::vector<double>{0, 0}, 3, 0, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{1, 2, 0}));
  for (const Scored& s : out) EXPECT_TRUE(std::isnan(s.distance));
}

TEST(LayerSearch, GreedyKeepsTheFirstOfEqualDistances) {
  HNSW index = make(1, Metric::Euclidean, 1);
  insert_all(index, {{0}, {2}, {-2}});
  std::vector<Scored> out;
  ASSERT_EQ(index.knn(0, std::vector<double>{1}, 1, 0, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), std::vector<std::uint32_t>{0});
  ASSERT_EQ(index.knn(1, std::vector<double>{1}, 1, 0, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), std::vector<std::uint32_t>{1});
}

TEST(LayerSearch, EntryIsTakenUntestedAndLowLevelsAreNotScored) {
  HNSW index = make(1, Metric::Euclidean, 2);
  insert_all(index, {{0}}, kLevel0);
  Scripted rng({kLevel0, kLevel1});
  ASSERT_EQ(index.insert(std::vector<double>{1}, nullptr, rng), std::nullopt);
  ASSERT_EQ(index.insert(std::vector<double>{5}, nullptr, rng), std::nullopt);
  ASSERT_EQ(index.levels(), (std::vector<std::uint32_t>{1, 0, 1}));
  std::vector<Scored> out;
  // Layer 1 from node 1 (level 0): node 1 stays in the result untested,
  // node 0 and 2 are reached; node 1 is never re-scored through node 0.
  ASSERT_EQ(index.knn(1, std::vector<double>{1}, 10, 1, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{1, 0, 2}));
  // Layer 1 from node 0 never meets node 1.
  ASSERT_EQ(index.knn(0, std::vector<double>{1}, 10, 1, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{0, 2}));
}

TEST(LayerSearch, ErrorsInOrder) {
  HNSW no_schema = make(2, Metric::Euclidean, 1);
  HNSW empty_schema = make(2, Metric::Euclidean, 1, 200, 50, Schema{});
  HNSW with_schema = make(2, Metric::Euclidean, 1, 200, 50, Schema{"color"});
  const filter::Filter f = filter::Filter::equal_to("size", Metadata::from_integer(1));
  std::vector<Scored> out;
  for (HNSW* index : {&no_schema, &empty_schema, &with_schema}) {
    Row row{Metadata::from_string("red")};
    Scripted none;
    ASSERT_EQ(index->insert(std::vector<double>{0, 0}, index == &with_schema ? &row : nullptr,
                            none),
              std::nullopt);
    EXPECT_EQ(index->knn(0, std::vector<double>{1, 1}, 0, 5, &f, out), HNSWError::InvalidEF);
    EXPECT_EQ(index->knn(0, std::vector<double>{1, 1}, 1, 1, &f, out), HNSWError::InvalidLayer);
    EXPECT_EQ(index->knn(7, std::vector<double>{1, 1}, 1, 0, nullptr, out),
              HNSWError::InvalidNodeID);
  }
  EXPECT_EQ(no_schema.knn(7, std::vector<double>{1, 1}, 1, 0, &f, out), HNSWError::NoSchema);
  EXPECT_EQ(empty_schema.knn(7, std::vector<double>{1, 1}, 1, 0, &f, out),
            HNSWError::EmptySchema);
  EXPECT_EQ(with_schema.knn(7, std::vector<double>{1, 1}, 1, 0, &f, out),
            HNSWError::AttributeNotFound);
  // An entry with an empty list gives exactly itself.
  ASSERT_EQ(no_schema.knn(0, std::vector<double>{3, 4}, 5, 0, nullptr, out), std::nullopt);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].distance, 5.0);
}

TEST(LayerSearch, ErrorNames) {
  EXPECT_STREQ(error_name(HNSWError::InvalidEF), "InvalidEF");
  EXPECT_STREQ(error_name(HNSWError::InvalidLayer), "InvalidLayer");
  EXPECT_STREQ(error_name(HNSWError::NoSchema), "NoSchema");
  EXPECT_STREQ(error_name(HNSWError::EmptySchema), "EmptySchema");
  EXPECT_STREQ(error_name(HNSWError::AttributeNotFound), "AttributeNotFound");
  EXPECT_STREQ(error_name(HNSWError::EmptyVectors), "EmptyVectors");
  EXPECT_STREQ(error_name(HNSWError::InvalidNodeID), "InvalidNodeID");
}

// ---------------------------------------------------------------- query search

TEST(Search, EmptyIndexNeverFails) {
  HNSW index = make(2, Metric::Euclidean, 5, 200, 0, Schema{"a"});
  const filter::Filter f = filter::Filter::equal_to("missing", Metadata::from_integer(1));
  std::vector<Scored> out{{1.0, 3}};
  EXPECT_EQ(index.search(std::vector<double>{1, 2}, 3, &f, out), std::nullopt);
  EXPECT_TRUE(out.empty());
}

TEST(Search, OneNodeAnswersEveryK) {
  HNSW index = make(2, Metric::Euclidean);
  insert_all(index, {{3, 4}});
  std::vector<Scored> out;
  for (std::uint32_t k : {0u, 1u, 10u}) {
    ASSERT_EQ(index.search(std::vector<double>{0, 0}, k, nullptr, out), std::nullopt);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].distance, 5.0);
    EXPECT_EQ(out[0].id, 0u);
  }
  // A query of another length uses the common positions.
  ASSERT_EQ(index.search(std::vector<double>{0}, 1, nullptr, out), std::nullopt);
  EXPECT_EQ(out[0].distance, 3.0);
}

TEST(Search, CutsAfterKAndNeverExceedsEfSearch) {
  HNSW index = make(1, Metric::Euclidean, 1, 200, 3);
  insert_all(index, {{0}, {1}, {2}, {3}, {4}, {5}});
  std::vector<Scored> out;
  ASSERT_EQ(index.search(std::vector<double>{5}, 0, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), std::vector<std::uint32_t>{5});
  ASSERT_EQ(index.search(std::vector<double>{5}, 2, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{5, 4}));
  ASSERT_EQ(index.search(std::vector<double>{5}, 100, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{5, 4, 3}));
}

TEST(Search, ErrorPrecedence) {
  const filter::Filter f = filter::Filter::equal_to("a", Metadata::from_integer(1));
  std::vector<Scored> out;
  {
    HNSW index = make(1, Metric::Euclidean, 1, 200, 0);
    insert_all(index, {{0}});
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, &f, out), HNSWError::InvalidEF);
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, nullptr, out), HNSWError::InvalidEF);
  }
  {
    // The descent reports the filter before layer 0 reports ef_search.
    HNSW index = make(1, Metric::Euclidean, 2, 200, 0);
    insert_all(index, {{0}});
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, &f, out), HNSWError::NoSchema);
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, nullptr, out), HNSWError::InvalidEF);
  }
  {
    HNSW index = make(1, Metric::Euclidean, 0, 200, 0);
    insert_all(index, {{0}});
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, &f, out), HNSWError::InvalidLayer);
  }
  {
    HNSW index = make(1, Metric::Euclidean, 3, 200, 50, Schema{});
    insert_all(index, {{0}});
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, &f, out), HNSWError::EmptySchema);
  }
  {
    HNSW index = make(1, Metric::Euclidean, 3, 200, 50, Schema{"b"});
    Row row{Metadata::from_integer(1)};
    Scripted none;
    ASSERT_EQ(index.insert(std::vector<double>{0}, &row, none), std::nullopt);
    EXPECT_EQ(index.search(std::vector<double>{0}, 1, &f, out), HNSWError::AttributeNotFound);
  }
}

TEST(Search, AngularAndInnerProductRankLeastSimilarFirst) {
  HNSW angular = make(2, Metric::Cosine, 1);
  insert_all(angular, {{1, 0}, {0, 1}, {-1, 0}});
  std::vector<Scored> out;
  ASSERT_EQ(angular.search(std::vector<double>{1, 0}, 3, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{2, 1, 0}));
  EXPECT_EQ(out[0].distance, -1.0);

  HNSW inner = make(1, Metric::InnerProduct, 1);
  insert_all(inner, {{1}, {2}, {3}});
  ASSERT_EQ(inner.search(std::vector<double>{1}, 3, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(out[2].distance, 3.0);
}

// A one-layer complete graph on a line with colours:
// 0 red at 0, 1 blue at 1, 2 blue at 2, 3 red at 0.5, 4 without a row at 0.25.
HNSW coloured() {
  HNSW index = make(1, Metric::Euclidean, 1, 200, 50, Schema{"color"});
  const char* colours[] = {"red", "blue", "blue", "red"};
  const double xs[] = {0.0, 1.0, 2.0, 0.5};
  for (int i = 0; i < 4; ++i) {
    Row row{Metadata::from_string(colours[i])};
    Scripted rng({0.0});
    EXPECT_EQ(index.insert(std::vector<double>{xs[i]}, &row, rng), std::nullopt);
  }
  Scripted rng({0.0});
  EXPECT_EQ(index.insert(std::vector<double>{0.25}, nullptr, rng), std::nullopt);
  return index;
}

TEST(Search, FilterDropsAFailingEntryBeforeTheCut) {
  HNSW index = coloured();
  std::vector<Scored> out;
  const filter::Filter blue = filter::Filter::equal_to("color", Metadata::from_string("blue"));
  ASSERT_EQ(index.search(std::vector<double>{0}, 10, &blue, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{1, 2}));
  // k is counted after the failing entry is gone.
  ASSERT_EQ(index.search(std::vector<double>{0}, 1, &blue, out), std::nullopt);
  EXPECT_EQ(ids_of(out), std::vector<std::uint32_t>{1});

  const filter::Filter red = filter::Filter::equal_to("color", Metadata::from_string("red"));
  ASSERT_EQ(index.search(std::vector<double>{0}, 10, &red, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{0, 3}));

  ASSERT_EQ(index.search(std::vector<double>{0}, 10, nullptr, out), std::nullopt);
  EXPECT_EQ(ids_of(out), (std::vector<std::uint32_t>{0, 4, 3, 1, 2}));
}

// A walk remembers which nodes failed its filter; a later walk with another
// filter must not see those verdicts, also after the walk stamps wrap.
TEST(Search, FilterVerdictsLastOneWalk) {
  HNSW index = make(1, Metric::Euclidean, 1, 200, 50, Schema{"color"});
  Scripted rng(std::vector<double>(60, 0.0));
  for (int i = 0; i < 60; ++i) {
    const Row row{Metadata::from_integer(i % 2)};
    ASSERT_EQ(index.insert(std::vector<double>{double(i)}, &row, rng), std::nullopt);
  }
  const filter::Filter even = filter::Filter::equal_to("color", Metadata::from_integer(0));
  const filter::Filter odd = filter::Filter::equal_to("color", Metadata::from_integer(1));
  std::vector<Scored> want_even, want_odd, out;
  ASSERT_EQ(index.search(std::vector<double>{30}, 6, &even, want_even), std::nullopt);
  ASSERT_EQ(index.search(std::vector<double>{30}, 6, &odd, want_odd), std::nullopt);
  ASSERT_EQ(want_even.size(), 6u);
  ASSERT_EQ(want_odd.size(), 6u);
  // One walk per search. The odd walk takes the stamp of the even one 255
  // walks before it, after the stamps wrapped; the unfiltered walks between
  // them leave the failures of the even walk alone.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(index.search(std::vector<double>{30}, 6, &even, out), std::nullopt);
    ASSERT_TRUE(same(out, want_even)) << "round " << round;
    for (int walk = 0; walk < 254; ++walk) index.search(std::vector<double>{30}, 6, nullptr, out);
    ASSERT_EQ(index.search(std::vector<double>{30}, 6, &odd, out), std::nullopt);
    ASSERT_TRUE(same(out, want_odd)) << "round " << round;
  }
}

TEST(Search, NodeWithoutRowPassesNoFilter) {
  HNSW index = coloured();
  std::vector<Scored> out;
  // The value a missing row is padded with must not match anything either.
  for (const Metadata& v : {Metadata::from_string(""), Metadata::from_integer(0),
                            Metadata::from_float(0.0)}) {
    const filter::Filter f = filter::Filter::equal_to("color", v);
    ASSERT_EQ(index.search(std::vector<double>{0.25}, 10, &f, out), std::nullopt);
    EXPECT_TRUE(out.empty());
  }
  // Node 0 without a row is dropped as an entry, too.
  HNSW bare = make(1, Metric::Euclidean, 3, 200, 50, Schema{"color"});
  Row blue{Metadata::from_string("blue")};
  Scripted rng({0.0, 0.0});
  ASSERT_EQ(bare.insert(std::vector<double>{0}, nullptr, rng), std::nullopt);
  ASSERT_EQ(bare.insert(std::vector<double>{1}, &blue, rng), std::nullopt);
  const filter::Filter f = filter::Filter::equal_to("color", Metadata::from_string("blue"));
  ASSERT_EQ(bare.search(std::vector<double>{0}, 5, &f, out), std::nullopt);
  EXPECT_EQ(ids_of(out), std::vector<std::uint32_t>{1});
}

TEST(Search, ASearchStartedByAFilterDuringAnotherSearchSharesNoState) {
  // A filter's predicate is caller code that runs in the middle of a layer
  // search. Here it runs whole searches of the same index, filtered and not,
  // each time it is asked; neither the outer nor the inner searches may see
  // the other's visits, candidates or batches.
  HNSW index = make(3, Metric::Euclidean, 4, 16, 20, Schema{"a"});
  std::mt19937_64 gen(11);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform;
  auto point = [&] { return std::vector<double>{normal(gen), normal(gen), normal(gen)}; };
  for (int i = 0; i < 400; ++i) {
    Row row{Metadata::from_integer(i % 3)};
    Scripted rng({uniform(gen)});
    ASSERT_EQ(index.insert(point(), &row, rng), std::nullopt);
  }
  const filter::Filter one = filter::Filter::equal_to("a", Metadata::from_integer(1));
  const filter::Filter two = filter::Filter::equal_to("a", Metadata::from_integer(2));
  const std::vector<double> outer_query = point(), inner_query = point();

  std::vector<Scored> want_outer, want_inner, want_inner_filtered, want_layer;
  ASSERT_EQ(index.search(outer_query, 15, &one, want_outer), std::nullopt);
  ASSERT_EQ(index.search(inner_query, 15, nullptr, want_inner), std::nullopt);
  ASSERT_EQ(index.search(inner_query, 15, &two, want_inner_filtered), std::nullopt);
  ASSERT_EQ(index.knn(0, inner_query, 30, 0, nullptr, want_layer), std::nullopt);
  ASSERT_GT(want_outer.size(), 5u);

  std::size_t calls = 0, mismatches = 0;
  auto nesting = std::make_shared<const filter::Predicate>([&](const Metadata& value) {
    ++calls;
    std::vector<Scored> got;
    mismatches += index.search(inner_query, 15, nullptr, got).has_value() ||
                  !same(got, want_inner);
    mismatches += index.search(inner_query, 15, &two, got).has_value() ||
                  !same(got, want_inner_filtered);
    mismatches += index.knn(0, inner_query, 30, 0, nullptr, got).has_value() ||
                  !same(got, want_layer);
    return (*one.predicate)(value);
  });
  const filter::Filter nested("a", nesting);
  std::vector<Scored> got;
  ASSERT_EQ(index.search(outer_query, 15, &nested, got), std::nullopt);
  EXPECT_TRUE(same(got, want_outer));
  EXPECT_GT(calls, 20u);
  EXPECT_EQ(mismatches, 0u);

  // The scratch of finished searches is reused: repeating all of it holds
  // no more memory.
  const std::size_t held = index.memory_bytes();
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(index.search(outer_query, 15, &nested, got), std::nullopt);
  }
  EXPECT_EQ(index.memory_bytes(), held);
  EXPECT_EQ(mismatches, 0u);
}

TEST(Search, ZeroDimension) {
  for (Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
    HNSW index = make(0, metric, 2);
    Scripted rng({kLevel0, kLevel1, kLevel0});
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(index.insert(std::span<const double>{}, nullptr, rng), std::nullopt);
    }
    EXPECT_EQ(index.size(), 4u);
    EXPECT_TRUE(index.vectors().empty());
    EXPECT_TRUE(index.vector(3).empty());
    std::vector<Scored> out;
    ASSERT_EQ(index.search(std::vector<double>{1, 2}, 10, nullptr, out), std::nullopt);
    ASSERT_EQ(out.size(), 4u);
    std::set<std::uint32_t> seen;
    for (const Scored& s : out) {
      seen.insert(s.id);
      if (metric == Metric::Cosine) {
        EXPECT_TRUE(std::isnan(s.distance));
      } else {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s.distance), 0u);
      }
    }
    EXPECT_EQ(seen.size(), 4u);
  }
}

// ---------------------------------------------------------------- bulk build

FloatRows rows_of(const std::vector<std::vector<double>>& vectors) {
  FloatRows rows;
  for (const auto& v : vectors) rows.push_row(v);
  return rows;
}

TEST(Create, EmptyVectorsFailWhateverTheRows) {
  HNSW index = make(1, Metric::Euclidean, 5, 200, 50, Schema{"a"});
  Scripted none;
  EXPECT_EQ(index.create(FloatRows{}, {}, none), HNSWError::EmptyVectors);
  EXPECT_EQ(index.create(FloatRows{}, {Row{Metadata::from_integer(1)}}, none),
            HNSWError::EmptyVectors);
  EXPECT_EQ(index.size(), 0u);
}

TEST(Create, WithoutSchemaRowsAreIgnored) {
  HNSW index = make(1, Metric::Euclidean, 1);
  Scripted rng({0.0, 0.0});
  ASSERT_EQ(index.create(rows_of({{0}, {1}, {2}}), {Row{Metadata::from_integer(1)}}, rng),
            std::nullopt);
  EXPECT_EQ(index.size(), 3u);
  EXPECT_TRUE(index.row(0).empty());
}

TEST(Create, WithSchemaRowCountMustMatch) {
  HNSW index = make(1, Metric::Euclidean, 1, 200, 50, Schema{"a"});
  Scripted none;
  EXPECT_EQ(index.create(rows_of({{0}, {1}}), {Row{Metadata::from_integer(1)}}, none),
            HNSWError::AttributeNotFound);
  EXPECT_EQ(index.create(rows_of({{0}, {1}}), {}, none), HNSWError::AttributeNotFound);
  EXPECT_EQ(index.size(), 0u);

  Scripted rng({0.0});
  ASSERT_EQ(index.create(rows_of({{0}, {1}}),
                         {Row{Metadata::from_integer(7)}, Row{Metadata::from_integer(8)}}, rng),
            std::nullopt);
  EXPECT_EQ(index.row(0)[0].as_integer(), 7);
  EXPECT_EQ(index.row(1)[0].as_integer(), 8);
  EXPECT_EQ(index.neighbors_of(0), std::vector<std::uint32_t>{1});
}

TEST(Create, StopsAtTheFirstFailureAndKeepsWhatCameBefore) {
  HNSW index = make(2, Metric::Euclidean, 1);
  Scripted rng({0.0, 0.0});
  FloatRows vectors = rows_of({{0, 0}, {1, 1}, {2}, {3, 3}});
  EXPECT_EQ(index.create(vectors, {}, rng), HNSWError::InvalidNodeID);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(rng.used(), 1u);

  // With ef_construction 0 the failing insertion keeps its own node.
  HNSW zero = make(1, Metric::Euclidean, 1, 0, 50, Schema{"a"});
  Scripted rng2({0.0});
  std::vector<Row> rows(3, Row{Metadata::from_integer(1)});
  EXPECT_EQ(zero.create(rows_of({{0}, {1}, {2}}), rows, rng2), HNSWError::InvalidEF);
  EXPECT_EQ(zero.size(), 2u);
}

// ---------------------------------------------------------------- random source

TEST(ThreadRandom, DrawsAre53BitFractionsAndDifferPerThread) {
  RandomSource& mine = thread_random();
  EXPECT_EQ(&mine, &thread_random());
  std::set<double> seen;
  for (int i = 0; i < 1000; ++i) {
    double u = mine.next_uniform();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    double scaled = u * 0x1p53;
    ASSERT_EQ(scaled, std::floor(scaled));
    seen.insert(u);
  }
  EXPECT_GT(seen.size(), 990u);
  RandomSource* other = nullptr;
  double first_other = 0.0;
  std::thread([&] {
    other = &thread_random();
    first_other = other->next_uniform();
  }).join();
  EXPECT_NE(other, &mine);
  EXPECT_EQ(seen.count(first_other), 0u);
}

}  // namespace
}  // namespace tarsim::hnsw
