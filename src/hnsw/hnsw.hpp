// The layered proximity-graph index.
//
// Node ids are insertion positions from 0. Node 0 is the fixed entry point
// and has the top level. Each node has ONE neighbour list shared by all
// layers; a neighbour takes part in layer L only when its level is >= L.
// Lists are never pruned. A node found again by a later linking pass is not
// listed twice, and a node never lists itself: neither entry could change a
// search, because the search has always visited such a node already. For
// speed the index also keeps, per upper layer, the part of each list that
// takes part in that layer.
//
// Every operation returns its result or an HNSWError. The only exception is
// std::bad_alloc when memory runs out, from any operation that has to grow
// storage. The index stays consistent: a node is stored whole or not at all,
// and links made before the failure stay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "metadata/metadata.hpp"
#include "core/ids.hpp"
#include "core/interrupt.hpp"
#include "metrics/metrics.hpp"
#include "core/storage.hpp"
#include "core/vectors.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::hnsw {

enum class HNSWError : std::uint8_t {
  InvalidEF,
  InvalidLayer,
  NoSchema,
  EmptySchema,
  AttributeNotFound,
  EmptyVectors,
  InvalidNodeID,
  Interrupted,  // the caller's interruption hook asked to stop
};
// The bare name of the value, e.g. "InvalidEF".
const char* error_name(HNSWError error);

struct Scored {
  double distance;
  std::uint32_t id;
};

// A number whose unsigned order is the distance order of metrics::
// ranks_before: order_key(a) < order_key(b) exactly when a ranks before b
// (numbers by value with the two zeros equal, then every NaN, all equal).
std::uint64_t order_key(double distance);

// A candidate of a layer search: its distance's order key and its id in one
// number, so that the walk's heap compares candidates without a branch.
__extension__ typedef unsigned __int128 CandidateKey;

// Where a new scored node of the given distance goes in a result list kept
// in distance order (NaN last): a bisection that lands before the last of a
// run of equal distances it meets. [1 a, 2 b, 2 c, 3 d] + 2 e gives
// [a, b, e, c, d]; [2 b] + 2 e gives [e, b]; a NaN goes after every number.
std::size_t result_position(std::span<const Scored> results, double distance);

// Source of the uniform draws that pick a node's level.
class RandomSource {
 public:
  virtual ~RandomSource();
  // A uniform double in [0, 1): 53 random bits scaled by 2^-53.
  virtual double next_uniform() = 0;
};

// The calling thread's generator, created and seeded from the operating
// system's random source on first use.
RandomSource& thread_random();

struct Params {
  std::uint32_t dim;
  std::uint32_t layers = 5;
  std::uint32_t m = 16;  // kept for the caller; nothing reads it
  std::uint32_t ef_construction = 200;
  std::uint32_t ef_search = 50;
  metrics::Metric metric;
  std::optional<metadata::Schema> schema;
};

class HNSW {
 public:
  // Level i is drawn with weight e^-i, for i < layers. Only the positive
  // weights are stored: e^-i underflows to 0 from i = 746 on, so any layer
  // count, up to 4294967295, costs at most 746 weights.
  explicit HNSW(Params params);

  // Stores `vector` as a new node, with `row` (or none), and links it.
  // The vector must hold dim() values; any other length is refused with
  // InvalidNodeID before anything is stored. The first node takes level
  // layers - 1 and draws nothing; every later node draws its level from
  // `rng` and is linked in each layer from its level to the top. A failing
  // layer search (InvalidEF when ef_construction is 0) ends the insertion;
  // the node and the links made so far stay.
  //
  // Rows: with a non-empty schema every node keeps one row of schema-size
  // values. A node inserted without a row, or with a row of another length,
  // gets a row that passes no filter. Without a schema, or with an empty
  // one, rows are not kept (no filter can be used there).
  //
  // The index holds at most kMaxVectors nodes; one more is refused with
  // InvalidNodeID before anything is stored.
  //
  // `interrupt` is polled before the node is stored and during each layer
  // search. When it asks to stop, the insertion ends with Interrupted like
  // any failing layer search: a node not yet stored is not stored; a stored
  // node keeps the links of the passes that finished, each pass's links
  // being made whole or not at all. Such a node is valid: it is reachable
  // when one linking pass finished, and a later search merely cannot reach
  // it otherwise (as after InvalidEF).
  std::optional<HNSWError> insert(std::span<const double> vector, const metadata::Row* row,
                                  RandomSource& rng, Interrupt* interrupt = nullptr);

  // Bulk build: EmptyVectors for no vectors; without a schema inserts every
  // vector without a row (rows ignored); with a schema AttributeNotFound
  // when rows.size() != vectors.size(), otherwise inserts vector i with
  // row i. Stops at the first failing (or interrupted) insertion and keeps
  // what it inserted.
  std::optional<HNSWError> create(const FloatRows& vectors, const std::vector<metadata::Row>& rows,
                                  RandomSource& rng, Interrupt* interrupt = nullptr);
  // Bulk build without rows, schema or not: EmptyVectors for no vectors,
  // otherwise inserts every vector without a row, stopping as above.
  std::optional<HNSWError> create(const FloatRows& vectors, RandomSource& rng,
                                  Interrupt* interrupt = nullptr);

  // Query: greedy descent from node 0 with width 1 on every upper layer,
  // then width ef_search on layer 0, cut after the result that reaches k
  // (so k = 0 gives one). An empty index gives an empty list and no error.
  // With a filter every layer search keeps only passing neighbours, and the
  // layer-0 entry node is dropped from the answer when it fails the filter.
  // `out` is replaced.
  std::optional<HNSWError> search(std::span<const double> query, std::uint32_t k,
                                  const filter::Filter* filter, std::vector<Scored>& out) const;

  // Beam search of one layer from `entry`: up to `ef` scored nodes in
  // distance order. Checks ef (InvalidEF), the layer (InvalidLayer), the
  // filter against the schema (NoSchema, EmptySchema, AttributeNotFound),
  // then that `entry` is a stored node (InvalidNodeID). The entry is taken
  // without a level or filter test. `out` is replaced.
  std::optional<HNSWError> knn(std::uint32_t entry, std::span<const double> query,
                               std::uint32_t ef, std::uint32_t layer,
                               const filter::Filter* filter, std::vector<Scored>& out) const;

  std::uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::uint32_t dim() const { return dim_; }
  std::uint32_t layers() const { return layers_; }
  std::uint32_t m() const { return m_; }
  std::uint32_t ef_construction() const { return ef_construction_; }
  std::uint32_t ef_search() const { return ef_search_; }
  metrics::Metric metric() const { return metric_; }
  const std::optional<metadata::Schema>& schema() const { return schema_; }
  // Node `id`'s stored values (dim() of them); id < size().
  std::span<const double> vector(std::uint32_t id) const {
    return {vectors_.data() + static_cast<std::size_t>(id) * dim_, dim_};
  }
  std::span<const double> vectors() const { return vectors_; }
  const std::vector<std::uint32_t>& levels() const { return levels_; }
  // The positive level weights, e^-i from i = 0: min(layers, 746) of them.
  const std::vector<double>& level_weights() const { return level_weights_; }
  // Weight of level i < layers(): e^-i, which is 0 past level_weights().
  double level_weight(std::uint32_t i) const {
    return i < level_weights_.size() ? level_weights_[i] : 0.0;
  }
  // Node `id`'s metadata row (schema-size values), or an empty span when the
  // node has none (see insert).
  std::span<const metadata::Metadata> row(std::uint32_t id) const;

  // Bytes held by the index's own storage (capacities, not sizes), for
  // diagnostics and benchmarks.
  std::size_t memory_bytes() const;

  // Read-only views of the graph, for tests and diagnostics.
  // Node `node`'s neighbour list in the order the links were made.
  std::vector<std::uint32_t> neighbors_of(std::uint32_t node) const;
  // The neighbours a search of `layer` reads from node `node`'s list, in the
  // same order: those whose level is at least `layer`.
  std::vector<std::uint32_t> neighbors_of(std::uint32_t node, std::uint32_t layer) const;
  // All lists back to back, with the start of each node's list.
  void flat_view(std::vector<std::uint32_t>& neighbors, std::vector<std::uint32_t>& offsets) const;

  // Testing and benchmarking knobs, never needed for correct results:
  // whether layer searches use the sketch bounds (on unless the environment
  // variable TARSIM_BOUNDS is "off" when the first index is made), and the
  // sketch settings (recomputes the sketches of what is stored). Every
  // answer, distance and list is the same to the bit either way.
  void set_bounds(bool on) { bounds_ = on; }
  bool bounds() const { return bounds_; }
  void set_sketch_config(const sketch::Config& config);
  const sketch::Sketch& sketch() const { return sketch_; }
  // How many neighbours of a list are bounded against one worst distance
  // (at least 1). Short chunks test the bounds against the freshest worst,
  // where an unsound margin shows first.
  void set_bounded_chunk(std::size_t chunk) { bounded_chunk_ = chunk > 0 ? chunk : 1; }
  // Neighbours whose scoring the bounds saved, over the life of the index.
  std::size_t skipped() const { return skipped_; }
  // Distances an insertion took from its own earlier walks instead of
  // computing them again (on with the bounds), over the life of the index.
  std::size_t recalled() const { return recalled_; }
  // The sketch settings an index starts with.
  static sketch::Config default_sketch_config();

 private:
  // Working state of the layer searches of one operation. One byte per node
  // marks the visited nodes with the walk's stamp: a small array stays in the
  // first-level cache, and a new walk only takes the next stamp. The array
  // is cleared when the stamps wrap, after 255 walks.
  struct SearchScratch {
    std::vector<std::uint8_t> visit_stamps;
    std::uint8_t visit_stamp = 0;
    // filter_stamps[n] == visit_stamp: node n failed the walk's filter.
    std::vector<std::uint8_t> filter_stamps;
    // The walk's candidates as a heap of keys (see candidate_key in
    // hnsw.cpp).
    std::vector<CandidateKey> candidates;
    std::vector<std::uint32_t> batch_ids;
    std::vector<double> batch_distances;
    // The operation's query prepared for the sketch bounds, and whether the
    // bounds are in use.
    sketch::Query sketched;
    bool bounding = false;
    // Whether the code bounds are in use.
    bool coding = false;
    // Distances computed by earlier walks of the same operation:
    // memo_distance[n] is node n's distance to the query when
    // memo_at[n] == memo_stamp (see search_layer). memo_any: something was
    // recorded in this operation.
    std::vector<std::uint32_t> memo_at;
    std::vector<double> memo_distance;
    std::uint32_t memo_stamp = 0;
    bool memo_on = false;
    bool memo_any = false;
    // Rows of one chunk that the memo does not know, and their distances.
    std::vector<std::uint32_t> pending_ids;
    std::vector<double> pending_distances;
  };

  // knn, told that `unlisted` nodes of the layer (other than the entry) are
  // named by no list, so that the walk can stop reading lists once every
  // other node of the layer is visited.
  // Polls `interrupt`, when given, before scoring each list (Interrupted).
  std::optional<HNSWError> search_layer(std::uint32_t entry, std::span<const double> query,
                                        std::uint32_t ef, std::uint32_t layer,
                                        const filter::Filter* filter, std::size_t unlisted,
                                        SearchScratch& scratch, std::vector<Scored>& out,
                                        Interrupt* interrupt = nullptr) const;
  std::optional<HNSWError> insert_each(const FloatRows& vectors,
                                       const std::vector<metadata::Row>* rows, RandomSource& rng,
                                       Interrupt* interrupt);
  std::uint32_t draw_level(RandomSource& rng) const;
  void store_node(std::span<const double> vector, std::uint32_t level, const metadata::Row* row);
  bool passes(std::uint32_t node, const filter::Filter& filter, std::size_t position) const;
  std::uint8_t next_visit_stamp(SearchScratch& scratch) const;
  // Readies the bounds of one operation on `query`, and with `memo` its
  // distance memo (or turns them off).
  void prepare_bounds(std::span<const double> query, bool memo, SearchScratch& scratch) const;
  void update_sketch();
  void add_link(std::uint32_t node, std::uint32_t neighbor);

  // A scratch set taken from the pool for one operation and given back when
  // the lease ends. A filter's predicate is caller code and may search the
  // same index while a search is under way; that search leases another set.
  class ScratchLease {
   public:
    explicit ScratchLease(const HNSW& index);
    ~ScratchLease();
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    SearchScratch& operator*() const { return *scratch_; }

   private:
    const HNSW& index_;
    std::unique_ptr<SearchScratch> scratch_;
  };

  std::uint32_t dim_;
  std::uint32_t layers_;
  std::uint32_t m_;
  std::uint32_t ef_construction_;
  std::uint32_t ef_search_;
  metrics::Metric metric_;
  std::optional<metadata::Schema> schema_;
  std::size_t row_width_ = 0;  // values per kept row; 0 when rows are not kept

  std::vector<double> level_weights_;  // the positive ones; every later weight is 0
  double weight_total_ = 0.0;  // sum of level_weights_ in index order

  std::uint32_t count_ = 0;
  ValueStorage vectors_;  // node n at n * dim_
  std::vector<std::uint32_t> levels_;
  // links_[n]: node n's list for every layer, without self-links or
  // repeated ids. upper_[L - 1][n], for 1 <= L <= layer_lists_: the entries
  // of links_[n] whose level is at least L, appended at the same moments, so
  // a search of layer L never reads a neighbour that is not in it. Layers
  // above read the top of these lists with a level test. (Reading layer 2's
  // lists for layers 3 and 4 of the default five saves 1.7 KB per node at
  // 20,000 nodes but measured 10-20 % slower builds.)
  static constexpr std::uint32_t kMaxLayerLists = 8;
  std::uint32_t layer_lists_ = 0;
  std::vector<std::vector<std::uint32_t>> links_;
  std::vector<std::vector<std::vector<std::uint32_t>>> upper_;
  // layer_size_[L]: nodes with level >= L, for L < min(layers, 64).
  static constexpr std::uint32_t kCountedLayers = 64;
  std::vector<std::size_t> layer_size_;
  std::vector<metadata::Metadata> metadata_;  // node n at n * row_width_
  std::vector<std::uint8_t> has_row_;         // one per node while rows are kept
  // own_marks_[r] == n + 1 while node n is being linked and r is in its list.
  std::vector<std::uint32_t> own_marks_;
  // Sketches of the stored vectors, kept up to date node by node, and
  // whether the layer searches use their bounds.
  sketch::Sketch sketch_;
  bool bounds_;
  std::size_t bounded_chunk_;
  mutable std::size_t skipped_ = 0;
  mutable std::size_t recalled_ = 0;
  // What the bounds achieved lately (halved now and then), for deciding
  // whether an operation uses them; see prepare_bounds.
  mutable std::size_t seen_bounded_ = 0;
  mutable std::size_t seen_ruled_out_ = 0;
  mutable std::size_t seen_coded_ = 0;
  mutable std::size_t seen_code_ruled_out_ = 0;
  mutable std::size_t operations_ = 0;

  // Search scratch not leased at the moment, reused by later operations: as
  // many sets as searches ever ran inside one another, usually one. Its
  // capacity is kept at scratch_made_, so giving a set back never allocates.
  // Calls on one index never run in parallel threads (the caller holds the
  // interpreter lock), so the pool takes no lock.
  mutable std::vector<std::unique_ptr<SearchScratch>> idle_scratch_;
  mutable std::size_t scratch_made_ = 0;
};

}  // namespace tarsim::hnsw
