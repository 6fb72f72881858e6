// The layered proximity-graph index.
//
// Node ids are insertion positions from 0. Node 0 is the fixed entry point
// and has the top level. The graph itself (one neighbour list per node,
// shared by all layers) is described in graph.hpp.
//
// Every operation returns its result or an HNSWError. The only exception is
// std::bad_alloc when memory runs out, from any operation that has to grow
// storage. The index stays consistent: a node is stored whole or not at all,
// and links made before the failure stay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/ids.hpp"
#include "core/interrupt.hpp"
#include "core/vectors.hpp"
#include "filter/filter.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/order.hpp"
#include "hnsw/prune.hpp"
#include "hnsw/random.hpp"
#include "hnsw/runs.hpp"
#include "hnsw/scratch.hpp"
#include "metadata/metadata.hpp"
#include "metrics/metrics.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::testing {
struct Knobs;
}

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
  // `out` is replaced. `interrupt` is polled during each layer search; when
  // it asks to stop, the search ends with Interrupted.
  std::optional<HNSWError> search(std::span<const double> query, std::uint32_t k,
                                  const filter::Filter* filter, std::vector<Scored>& out,
                                  Interrupt* interrupt = nullptr) const;

  // Beam search of one layer from `entry`: up to `ef` scored nodes in
  // distance order. Checks ef (InvalidEF), the layer (InvalidLayer), the
  // filter against the schema (NoSchema, EmptySchema, AttributeNotFound),
  // then that `entry` is a stored node (InvalidNodeID). The entry is taken
  // without a level or filter test. `out` is replaced.
  std::optional<HNSWError> knn(std::uint32_t entry, std::span<const double> query,
                               std::uint32_t ef, std::uint32_t layer,
                               const filter::Filter* filter, std::vector<Scored>& out) const;

  std::uint32_t size() const { return graph_.size(); }
  bool empty() const { return graph_.size() == 0; }
  std::uint32_t dim() const { return graph_.dim(); }
  std::uint32_t layers() const { return graph_.layers(); }
  std::uint32_t m() const { return m_; }
  std::uint32_t ef_construction() const { return ef_construction_; }
  std::uint32_t ef_search() const { return ef_search_; }
  metrics::Metric metric() const { return metric_; }
  const std::optional<metadata::Schema>& schema() const { return schema_; }
  // Node `id`'s stored values (dim() of them); id < size().
  std::span<const double> vector(std::uint32_t id) const { return graph_.vector(id); }
  std::span<const double> vectors() const { return graph_.vectors(); }
  const std::vector<std::uint32_t>& levels() const { return graph_.levels(); }
  // The positive level weights, e^-i from i = 0: min(layers, 746) of them.
  const std::vector<double>& level_weights() const { return graph_.level_weights(); }
  // Weight of level i < layers(): e^-i, which is 0 past level_weights().
  double level_weight(std::uint32_t i) const {
    return i < level_weights().size() ? level_weights()[i] : 0.0;
  }
  // Node `id`'s metadata row (schema-size values), or an empty span when the
  // node has none (see insert).
  std::span<const metadata::Metadata> row(std::uint32_t id) const { return graph_.row(id); }

  // Bytes held by the index's own storage (capacities, not sizes), for
  // diagnostics and benchmarks.
  std::size_t memory_bytes() const;

  // Read-only views of the graph, for tests and diagnostics.
  // Node `node`'s neighbour list in the order the links were made.
  std::vector<std::uint32_t> neighbors_of(std::uint32_t node) const {
    return graph_.neighbors_of(node);
  }
  // The neighbours a search of `layer` reads from node `node`'s list, in the
  // same order: those whose level is at least `layer`.
  std::vector<std::uint32_t> neighbors_of(std::uint32_t node, std::uint32_t layer) const {
    return graph_.neighbors_of(node, layer);
  }
  // All lists back to back, with the start of each node's list.
  void flat_view(std::vector<std::uint32_t>& neighbors,
                 std::vector<std::uint32_t>& offsets) const {
    graph_.flat_view(neighbors, offsets);
  }

  // The sketch settings an index of this metric starts with.
  static sketch::Config default_sketch_config(metrics::Metric metric);

 private:
  // The bounds, the sketch settings and the statistics are set and read by
  // tests and benchmarks through it.
  friend struct ::tarsim::testing::Knobs;

  // knn, told that `unlisted` nodes of the layer (other than the entry) are
  // named by no list, so that the walk can stop reading lists once every
  // other node of the layer is visited.
  // Polls `interrupt`, when given, before scoring each list (Interrupted).
  std::optional<HNSWError> search_layer(std::uint32_t entry, std::span<const double> query,
                                        std::uint32_t ef, std::uint32_t layer,
                                        const filter::Filter* filter, std::size_t unlisted,
                                        SearchScratch& scratch, std::vector<Scored>& out,
                                        Interrupt* interrupt = nullptr) const;
  // The passes of an insertion of node n, of `level`, from layer 0 up.
  std::optional<HNSWError> link_node(std::uint32_t n, std::uint32_t level,
                                     std::span<const double> vector, SearchScratch& scratch,
                                     Interrupt* interrupt);
  // The descent of a query from node 0 to layer 1: the entry of layer 0.
  std::optional<HNSWError> descend(std::span<const double> query, const filter::Filter* filter,
                                   SearchScratch& scratch, std::vector<Scored>& out,
                                   Interrupt* interrupt, std::uint32_t& entry) const;
  std::optional<HNSWError> insert_each(const FloatRows& vectors,
                                       const std::vector<metadata::Row>* rows, RandomSource& rng,
                                       Interrupt* interrupt);
  // New sketch settings; recomputes the sketches of what is stored.
  void set_sketch_config(const sketch::Config& config);

  std::uint32_t m_;
  std::uint32_t ef_construction_;
  std::uint32_t ef_search_;
  metrics::Metric metric_;
  std::optional<metadata::Schema> schema_;
  Graph graph_;
  // The levels present, for the shortcuts over runs of layers that hold the
  // same nodes; runs_ off (tests only) searches every layer.
  LevelRuns runs_;
  bool use_runs_ = true;
  Bounds bounds_;
  // Leased by const searches: working memory only, never read by a result.
  mutable ScratchPool scratch_;
};

}  // namespace tarsim::hnsw
