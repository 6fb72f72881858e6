// Random small graphs built twice, by the index and by a plain reference
// that keeps every neighbour list in one flat array with start offsets,
// shifts ids on every link, tracks visits in a hash set and scores a
// neighbour before looking it up there. Both get the same level draws; the
// graphs must agree once the reference's self-links and repeated ids are
// left out, and every search answer must agree to the bit, whether the
// graph keeps its ids in 16 bits, in 32 bits, or moves between them.
#include "hnsw/hnsw.hpp"
#include "testing/emulated.hpp"

#include <gtest/gtest.h>

#include "testing/knobs.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <queue>
#include <random>
#include <set>
#include <unordered_set>

namespace tarsim::hnsw {
namespace {

using metadata::Metadata;
using metadata::Row;
using metadata::Schema;
using metrics::Metric;

// ------------------------------------------------------------ reference

double ref_distance(Metric metric, const std::vector<double>& a, const double* b, std::size_t bn) {
  std::size_t n = std::min(a.size(), bn);
  if (metric == Metric::Euclidean) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      double d = a[i] - b[i];
      sum = sum + d * d;
    }
    return std::sqrt(sum);
  }
  double dot = 0.0;
  for (std::size_t i = 0; i < n; ++i) dot = dot + a[i] * b[i];
  if (metric == Metric::InnerProduct) return dot;
  double na = 0.0, nb = 0.0;
  for (double x : a) na = na + x * x;
  for (std::size_t i = 0; i < bn; ++i) nb = nb + b[i] * b[i];
  return dot / (std::sqrt(na) * std::sqrt(nb));
}

// a ranks before b: numbers numerically, NaN after every number.
bool before(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

struct CandidateAfter {
  bool operator()(const Scored& a, const Scored& b) const {
    if (before(a.distance, b.distance)) return false;
    if (before(b.distance, a.distance)) return true;
    return a.id > b.id;
  }
};

struct Reference {
  std::uint32_t dim, layers, ef_construction, ef_search;
  Metric metric;
  std::optional<Schema> schema;
  std::vector<double> weights;
  // A node count is kept beside the vectors so that dim 0 needs no division.
  std::uint32_t count = 0;
  std::vector<double> vectors;
  std::vector<std::uint32_t> neighbors, offsets, levels;
  // Rows at n * S; a node inserted without a full row is marked and passes
  // no filter.
  std::vector<Metadata> metadata;
  std::vector<bool> has_row;

  Reference(const Params& p)
      : dim(p.dim), layers(p.layers), ef_construction(p.ef_construction),
        ef_search(p.ef_search), metric(p.metric), schema(p.schema) {
    double counter = 0.0;
    for (std::uint32_t i = 0; i < layers; ++i) {
      weights.push_back(std::exp(-counter));
      counter += 1.0;
    }
  }

  std::size_t width() const { return schema ? schema->size() : 0; }

  std::optional<HNSWError> knn(std::uint32_t entry, const std::vector<double>& query,
                               std::uint32_t ef, std::uint32_t layer, const filter::Filter* f,
                               std::vector<Scored>& results) const {
    if (ef == 0) return HNSWError::InvalidEF;
    if (layer >= layers) return HNSWError::InvalidLayer;
    if (f != nullptr) {
      if (!schema) return HNSWError::NoSchema;
      if (schema->empty()) return HNSWError::EmptySchema;
      bool found = false;
      for (const auto& name : *schema) found = found || name == f->attribute;
      if (!found) return HNSWError::AttributeNotFound;
    }
    if (entry >= count) return HNSWError::InvalidNodeID;
    double d0 = ref_distance(metric, query, vectors.data() + std::size_t(entry) * dim, dim);
    results.assign(1, Scored{d0, entry});
    std::priority_queue<Scored, std::vector<Scored>, CandidateAfter> candidates;
    candidates.push({d0, entry});
    std::unordered_set<std::uint32_t> visited{entry};
    while (!candidates.empty()) {
      Scored c = candidates.top();
      candidates.pop();
      double w = results.back().distance;
      if (!std::isnan(w) && before(w, c.distance)) break;
      std::size_t end = c.id + 1 < count ? offsets[c.id + 1] : neighbors.size();
      for (std::size_t i = offsets[c.id]; i < end; ++i) {
        std::uint32_t j = neighbors[i];
        if (levels[j] < layer) continue;
        if (f != nullptr) {
          std::size_t p = 0;
          while ((*schema)[p] != f->attribute) ++p;
          if (!has_row[j] || !f->test(metadata[j * width() + p])) continue;
        }
        double d = ref_distance(metric, query, vectors.data() + std::size_t(j) * dim, dim);
        if (visited.count(j) != 0) continue;
        visited.insert(j);
        if (results.size() < ef || d < results.back().distance) {
          candidates.push({d, j});
          std::size_t pos = 0;
          if (!results.empty()) {
            std::size_t base = 0, size = results.size();
            while (size > 1) {
              std::size_t half = size / 2, mid = base + half;
              if (!before(d, results[mid].distance)) base = mid;
              size -= half;
            }
            pos = before(results[base].distance, d) ? base + 1 : base;
          }
          results.insert(results.begin() + pos, Scored{d, j});
          if (results.size() == std::size_t(ef) + 1) results.pop_back();
        }
      }
    }
    return std::nullopt;
  }

  std::optional<HNSWError> insert(const std::vector<double>& v, const Row* row,
                                  RandomSource& rng) {
    if (v.size() != dim) return HNSWError::InvalidNodeID;
    auto store = [&](std::uint32_t level) {
      vectors.insert(vectors.end(), v.begin(), v.end());
      ++count;
      levels.push_back(level);
      offsets.push_back(static_cast<std::uint32_t>(neighbors.size()));
      if (width() > 0) {
        bool full = row != nullptr && row->size() == width();
        for (std::size_t s = 0; s < width(); ++s) {
          metadata.push_back(full ? (*row)[s] : Metadata::from_integer(0));
        }
        has_row.push_back(full);
      }
    };
    if (count == 0) {
      store(layers - 1);
      return std::nullopt;
    }
    double total = 0.0;
    for (double w : weights) total += w;
    double threshold = total * rng.next_uniform();
    double running = 0.0;
    std::uint32_t level = layers - 1;
    for (std::uint32_t i = 0; i < weights.size(); ++i) {
      running += weights[i];
      if (running > threshold) {
        level = i;
        break;
      }
    }
    store(level);
    const std::uint32_t n = count - 1;
    if (layers == 0) return std::nullopt;
    std::uint32_t entry = 0;
    std::vector<Scored> r;
    for (std::uint32_t j = 0; j < layers; ++j) {
      if (j < level) {
        if (auto e = knn(entry, v, 1, j, nullptr, r)) return e;
        if (!r.empty()) entry = r[0].id;
        continue;
      }
      if (auto e = knn(entry, v, ef_construction, j, nullptr, r)) return e;
      for (const Scored& s : r) {
        if (s.id >= count) return HNSWError::InvalidNodeID;
        std::size_t at = s.id + 1 < count ? offsets[s.id + 1] : neighbors.size();
        neighbors.insert(neighbors.begin() + at, n);
        for (std::uint32_t later = s.id + 1; later < count; ++later) ++offsets[later];
      }
      for (const Scored& s : r) neighbors.push_back(s.id);
      entry = n;
    }
    return std::nullopt;
  }

  std::optional<HNSWError> create(const std::vector<std::vector<double>>& vs,
                                  const std::vector<Row>& rows, RandomSource& rng) {
    if (vs.empty()) return HNSWError::EmptyVectors;
    if (!schema) {
      for (const auto& v : vs) {
        if (auto e = insert(v, nullptr, rng)) return e;
      }
      return std::nullopt;
    }
    if (rows.size() != vs.size()) return HNSWError::AttributeNotFound;
    for (std::size_t i = 0; i < vs.size(); ++i) {
      if (auto e = insert(vs[i], &rows[i], rng)) return e;
    }
    return std::nullopt;
  }

  std::optional<HNSWError> search(const std::vector<double>& q, std::uint32_t k,
                                  const filter::Filter* f, std::vector<Scored>& out) const {
    out.clear();
    if (count == 0) return std::nullopt;
    if (layers == 0) return HNSWError::InvalidLayer;
    std::uint32_t ep = 0;
    std::vector<Scored> r;
    for (std::uint32_t layer = layers - 1; layer >= 1; --layer) {
      if (auto e = knn(ep, q, 1, layer, f, r)) return e;
      ep = r[0].id;
    }
    if (auto e = knn(ep, q, ef_search, 0, f, r)) return e;
    if (f != nullptr) {
      std::size_t p = 0;
      while ((*schema)[p] != f->attribute) ++p;
      bool entry_passes = has_row[ep] && f->test(metadata[ep * width() + p]);
      if (!entry_passes) {
        for (std::size_t i = 0; i < r.size(); ++i) {
          if (r[i].id == ep) {
            r.erase(r.begin() + i);
            break;
          }
        }
      }
    }
    for (const Scored& s : r) {
      out.push_back(s);
      if (out.size() >= k) break;
    }
    return std::nullopt;
  }
};

// ------------------------------------------------------------ harness

class Replay : public RandomSource {
 public:
  explicit Replay(const std::vector<double>& draws) : draws_(draws) {}
  double next_uniform() override { return next_ < draws_.size() ? draws_[next_++] : 0.0; }
  std::size_t used() const { return next_; }

 private:
  const std::vector<double>& draws_;
  std::size_t next_ = 0;
};

struct Gen {
  std::mt19937_64 engine;
  explicit Gen(std::uint64_t seed) : engine(seed) {}
  std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(engine); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(engine) < p; }
  template <class T>
  T pick(std::initializer_list<T> options) { return options.begin()[below(options.size())]; }

  // Now and then a value that is NaN or infinite, so that euclidean
  // distances are NaN or +inf as well (partial sums that turn NaN or
  // infinite part-way, a NaN worst result).
  double special_chance = 0.0;

  std::vector<double> vector(std::size_t n, double zero_chance) {
    std::vector<double> v(n, 0.0);
    if (chance(zero_chance)) return v;
    if (n > 0 && chance(special_chance)) {
      std::vector<double> w = vector(n, 0.0);
      w[below(n)] = pick({std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()});
      return w;
    }
    if (n >= 16) {
      // Long vectors: one of three far-apart patterns plus small integer
      // noise, so that many partial sums pass the worst result early (the
      // searches give those distances up) while ties stay common.
      const int pattern = static_cast<int>(below(3));
      for (std::size_t i = 0; i < n; ++i) {
        const int centre = (static_cast<int>(i) + pattern) % 3 == 0 ? 6 : 0;
        v[i] = static_cast<double>(centre + static_cast<int>(below(3)) - 1);
      }
      return v;
    }
    for (double& x : v) x = static_cast<double>(static_cast<int>(below(5)) - 2);
    return v;
  }
  Metadata value() {
    switch (below(10)) {
      case 0: return Metadata::from_string("x");
      case 1: return Metadata::from_string("y");
      case 2: return Metadata::from_string("");
      case 3: return Metadata::from_integer(0);
      case 4: return Metadata::from_integer(1);
      case 5: return Metadata::from_integer(2);
      case 6: return Metadata::from_float(0.0);
      case 7: return Metadata::from_float(-0.0);
      case 8: return Metadata::from_float(1.0);
      default: return Metadata::from_float(std::numeric_limits<double>::quiet_NaN());
    }
  }
  double draw() {
    switch (below(20)) {
      case 0: return 0.0;
      case 1: return std::nextafter(1.0, 0.0);
      default: return static_cast<double>(engine() >> 11) * 0x1p-53;
    }
  }
};

// The reference's lists as the index keeps them: a node's link to itself
// and every later copy of an id already in the same list left out.
void without_repeats(const Reference& ref, std::vector<std::uint32_t>& neighbors,
                     std::vector<std::uint32_t>& offsets) {
  neighbors.clear();
  offsets.clear();
  for (std::uint32_t node = 0; node < ref.count; ++node) {
    offsets.push_back(static_cast<std::uint32_t>(neighbors.size()));
    std::size_t end = node + 1 < ref.count ? ref.offsets[node + 1] : ref.neighbors.size();
    std::set<std::uint32_t> seen{node};
    for (std::size_t i = ref.offsets[node]; i < end; ++i) {
      if (seen.insert(ref.neighbors[i]).second) neighbors.push_back(ref.neighbors[i]);
    }
  }
}

::testing::AssertionResult same(const std::vector<Scored>& got, const std::vector<Scored>& want) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
  }
  for (std::size_t i = 0; i < got.size(); ++i) {
    // Bit for bit, except that a NaN only has to meet a NaN: which NaN an
    // operation on two NaNs passes on depends on the operand order the
    // compiler picks, and nothing ranks or reports NaNs apart.
    const bool both_nan = std::isnan(got[i].distance) && std::isnan(want[i].distance);
    if (got[i].id != want[i].id ||
        (!both_nan && std::bit_cast<std::uint64_t>(got[i].distance) !=
                          std::bit_cast<std::uint64_t>(want[i].distance))) {
      return ::testing::AssertionFailure()
             << "at " << i << ": (" << got[i].distance << ", " << got[i].id << ") vs ("
             << want[i].distance << ", " << want[i].id << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

struct Counts {
  std::size_t graphs = 0, searches = 0, layer_searches = 0, filtered = 0, errors = 0, nan_results = 0;
  std::size_t high_levels = 0;  // nodes above level 8: layers searched with a level test
};

void run_case(std::uint64_t seed, Counts& counts) {
  Gen g(seed);
  Params params{};
  params.dim = g.pick<std::uint32_t>({0, 1, 2, 2, 3, 3, 4, 40, 75});
  params.layers = g.chance(0.03) ? 0 : g.pick<std::uint32_t>({1, 1, 2, 2, 3, 5, 5, 12});
  params.ef_construction = g.chance(0.03) ? 0 : g.pick<std::uint32_t>({1, 1, 2, 3, 4, 8, 200});
  params.ef_search = g.chance(0.03) ? 0 : g.pick<std::uint32_t>({1, 1, 2, 3, 5, 10, 50});
  params.metric = g.pick({Metric::Euclidean, Metric::InnerProduct, Metric::Cosine});
  switch (g.below(5)) {
    case 0: params.schema = std::nullopt; break;
    case 1: params.schema = Schema{}; break;
    case 2: params.schema = Schema{"color"}; break;
    case 3: params.schema = Schema{"color", "size"}; break;
    default: params.schema = Schema{"a", "a", "color"}; break;
  }
  const bool big = params.ef_construction <= 4 && g.chance(0.2);
  const std::size_t n = big ? 60 + g.below(100) : 1 + g.below(40);
  const double zero_chance = g.pick({0.0, 0.1, 0.3});
  g.special_chance = g.pick({0.0, 0.0, 0.05});
  const std::size_t width = params.schema ? params.schema->size() : 0;
  const double missing_row = g.pick({0.0, 0.0, 0.15});

  std::vector<std::vector<double>> vectors;
  std::vector<Row> rows;
  std::vector<bool> row_given;
  for (std::size_t i = 0; i < n; ++i) {
    vectors.push_back(g.vector(params.dim, zero_chance));
    Row row;
    std::size_t len = g.chance(0.02) ? width + 1 : width;
    for (std::size_t s = 0; s < len; ++s) row.push_back(g.value());
    rows.push_back(std::move(row));
    row_given.push_back(!g.chance(missing_row));
  }
  std::vector<double> draws;
  for (std::size_t i = 0; i < n; ++i) draws.push_back(g.draw());

  HNSW index(params);
  // A third of the graphs move from 16-bit to 32-bit ids part way, at a
  // node count from 0 to 22 (the seed picks it, so the cases stay as drawn).
  if (seed % 3 == 0) testing::Knobs::set_narrow_ids(index, seed / 3 % 23);
  Reference ref(params);
  ASSERT_EQ(index.level_weights().size(), ref.weights.size());
  for (std::size_t i = 0; i < ref.weights.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(index.level_weights()[i]),
              std::bit_cast<std::uint64_t>(ref.weights[i]));
  }
  Replay mine(draws), theirs(draws);
  if (g.chance(0.3)) {
    FloatRows packed;
    for (const auto& v : vectors) packed.push_row(v);
    std::vector<Row> given = g.chance(0.1) ? std::vector<Row>{} : rows;
    auto e1 = index.create(packed, given, mine);
    auto e2 = ref.create(vectors, given, theirs);
    ASSERT_EQ(e1, e2) << "create, seed " << seed;
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const Row* row = row_given[i] ? &rows[i] : nullptr;
      auto e1 = index.insert(vectors[i], row, mine);
      auto e2 = ref.insert(vectors[i], row, theirs);
      ASSERT_EQ(e1, e2) << "insert " << i << ", seed " << seed;
      if (e1) ++counts.errors;
    }
  }
  ASSERT_EQ(mine.used(), theirs.used());
  ASSERT_EQ(index.size(), ref.count) << "seed " << seed;
  ASSERT_EQ(index.levels(), ref.levels) << "seed " << seed;
  for (std::uint32_t level : ref.levels) counts.high_levels += params.layers > 9 && level > 8;
  ASSERT_TRUE(std::equal(index.vectors().begin(), index.vectors().end(), ref.vectors.begin(),
                         ref.vectors.end(), [](double a, double b) {
                           return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
                         }));
  std::vector<std::uint32_t> neighbors, offsets, want_neighbors, want_offsets;
  index.flat_view(neighbors, offsets);
  without_repeats(ref, want_neighbors, want_offsets);
  ASSERT_EQ(neighbors, want_neighbors) << "seed " << seed;
  ASSERT_EQ(offsets, want_offsets) << "seed " << seed;
  // What a search of layer L reads from a list: the entries of level >= L.
  for (std::uint32_t node = 0; node < ref.count; ++node) {
    const std::vector<std::uint32_t> all = index.neighbors_of(node);
    for (std::uint32_t layer = 0; layer < params.layers; ++layer) {
      std::vector<std::uint32_t> want;
      for (std::uint32_t id : all) {
        if (ref.levels[id] >= layer) want.push_back(id);
      }
      ASSERT_EQ(index.neighbors_of(node, layer), want) << "seed " << seed << " layer " << layer;
    }
  }
  for (std::uint32_t i = 0; i < ref.count && width > 0; ++i) {
    ASSERT_EQ(index.row(i).empty(), !ref.has_row[i]) << "seed " << seed;
  }
  ++counts.graphs;

  std::vector<Scored> got, want;
  for (int q = 0; q < 30; ++q) {
    std::size_t qlen = params.dim;
    if (g.chance(0.1)) qlen = qlen + 1;
    if (g.chance(0.1) && qlen > 0) qlen = qlen - 1;
    std::vector<double> query = g.vector(qlen, zero_chance);
    std::optional<filter::Filter> f;
    if (g.chance(0.6)) {
      std::string attribute = g.chance(0.05) ? "zzz" : (g.chance(0.2) ? "a" : "color");
      f = filter::Filter::equal_to(attribute, g.value());
      ++counts.filtered;
    }
    const filter::Filter* fp = f ? &*f : nullptr;
    if (q % 3 == 2 && ref.count > 0) {
      std::uint32_t entry = static_cast<std::uint32_t>(g.below(ref.count));
      std::uint32_t ef = g.pick<std::uint32_t>({0, 1, 1, 2, 3, 7});
      std::uint32_t layer = static_cast<std::uint32_t>(g.below(params.layers + 1));
      auto e1 = index.knn(entry, query, ef, layer, fp, got);
      auto e2 = ref.knn(entry, query, ef, layer, fp, want);
      ASSERT_EQ(e1, e2) << "knn, seed " << seed;
      if (!e1) {
        ASSERT_TRUE(same(got, want)) << "knn, seed " << seed;
      }
      ++counts.layer_searches;
    } else {
      std::uint32_t k = g.pick<std::uint32_t>({0, 1, 2, 3, 5, 100});
      auto e1 = index.search(query, k, fp, got);
      auto e2 = ref.search(query, k, fp, want);
      ASSERT_EQ(e1, e2) << "search, seed " << seed;
      if (!e1) {
        ASSERT_TRUE(same(got, want)) << "search, seed " << seed;
        for (const Scored& s : got) counts.nan_results += std::isnan(s.distance);
      }
      ++counts.searches;
    }
  }
}

TEST(HNSWProperty, MatchesTheFlatReference) {
  Counts counts;
  const std::uint64_t kCases = tarsim::testing::sized<std::uint64_t>(4000, 400);
  for (std::uint64_t seed = 1; seed <= kCases; ++seed) {
    run_case(seed, counts);
    if (::testing::Test::HasFatalFailure()) return;
  }
  std::printf("graphs %zu, searches %zu, layer searches %zu, filtered %zu, insert errors %zu, "
              "NaN results %zu, nodes above level 8 %zu\n",
              counts.graphs, counts.searches, counts.layer_searches, counts.filtered,
              counts.errors, counts.nan_results, counts.high_levels);
  EXPECT_EQ(counts.graphs, kCases);
  EXPECT_GT(counts.nan_results, 0u);
  EXPECT_GT(counts.errors, 0u);
  EXPECT_GT(counts.high_levels, 0u);
}

}  // namespace
}  // namespace tarsim::hnsw
