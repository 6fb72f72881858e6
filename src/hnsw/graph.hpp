// The stored graph: the nodes' vectors, levels and rows, and their
// neighbour lists.
//
// Each node has ONE neighbour list shared by all layers; a neighbour takes
// part in layer L only when its level is >= L. Lists are never pruned. A
// node found again by a later linking pass is not listed twice, and a node
// never lists itself: neither entry could change a search, because the
// search has always visited such a node already. For speed the graph also
// keeps, per upper layer, the part of each list that takes part in that
// layer. The lists of each layer lie in one arena (lists.hpp), with 16-bit
// ids while the nodes fit them and 32-bit ids from then on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/storage.hpp"
#include "filter/filter.hpp"
#include "hnsw/lists.hpp"
#include "hnsw/order.hpp"
#include "hnsw/random.hpp"
#include "metadata/metadata.hpp"

namespace tarsim::testing {
struct Knobs;
}

namespace tarsim::hnsw {

class Graph {
 public:
  // Rows of `row_width` values are kept per node when it is not 0. Level i
  // is drawn with weight e^-i, for i < layers. Only the positive weights are
  // stored: e^-i underflows to 0 from i = 746 on, so any layer count, up to
  // 4294967295, costs at most 746 weights.
  Graph(std::uint32_t dim, std::uint32_t layers, std::size_t row_width);

  std::uint32_t size() const { return count_; }
  std::uint32_t dim() const { return dim_; }
  std::uint32_t layers() const { return layers_; }

  // ---- storage
  // Stores a node whole or not at all (std::bad_alloc leaves nothing
  // behind). A row of another length than row_width, or none, is kept as a
  // row that passes no filter.
  void store(std::span<const double> vector, std::uint32_t level, const metadata::Row* row);
  const double* vector_data() const { return vectors_.data(); }
  std::span<const double> vectors() const { return vectors_; }
  std::span<const double> vector(std::uint32_t id) const {
    return {vectors_.data() + static_cast<std::size_t>(id) * dim_, dim_};
  }
  // Node `id`'s row, or an empty span when it has none.
  std::span<const metadata::Metadata> row(std::uint32_t id) const;
  bool passes(std::uint32_t node, const filter::Filter& filter, std::size_t position) const {
    return has_row_[node] != 0 && filter.test(metadata_[node * row_width_ + position]);
  }

  // ---- levels
  const std::vector<std::uint32_t>& levels() const { return levels_; }
  const std::vector<double>& level_weights() const { return level_weights_; }
  // A level drawn from `rng` by the weights: layers - 1 when no running sum
  // passes the draw (wrapping to 4294967295 when there are no layers).
  std::uint32_t draw_level(RandomSource& rng) const;

  // ---- lists
  // Whether the lists hold 32-bit ids (else 16-bit ones).
  bool wide_ids() const { return wide_ids_; }
  // The lists a search of `layer` reads, with ids of type Id (which
  // wide_ids() tells), and whether it must test each neighbour's level
  // (above the highest layer with lists of its own).
  template <class Id>
  struct LayerLists {
    const ListArena<Id>* lists;
    bool test_levels;
  };
  template <class Id>
  LayerLists<Id> lists_of(std::uint32_t layer) const {
    // Layer 0 reads the full lists; a layer L >= 1 with lists of its own
    // reads the lists of neighbours with level >= L, so no level test is
    // needed there. The other layers read the lists of the highest low layer
    // with lists of its own, with the level test.
    return {&arenas<Id>()[arena_of(layer)], !own_lists(layer)};
  }
  // Nodes of `layer` that some list may name, when `unlisted` nodes of the
  // layer are named by none; the most a size_t holds for layers too high to
  // be counted.
  std::size_t listed_in(std::uint32_t layer, std::size_t unlisted) const {
    return layer < layer_size_.size() ? layer_size_[layer] - unlisted
                                      : std::numeric_limits<std::size_t>::max();
  }

  // ---- linking
  // Links node n, the last stored, both ways with every node of `found` (a
  // layer search's answer). Returns false when `found` names a node not
  // stored or n is not the last node; the links made before stay.
  bool link(std::uint32_t n, std::span<const Scored> found);
  // Every list's room cut to what it holds (see ListArena::trim); for the
  // end of a bulk build.
  void trim_lists();

  // ---- views for tests and diagnostics
  std::vector<std::uint32_t> neighbors_of(std::uint32_t node) const;
  std::vector<std::uint32_t> neighbors_of(std::uint32_t node, std::uint32_t layer) const;
  void flat_view(std::vector<std::uint32_t>& neighbors, std::vector<std::uint32_t>& offsets) const;
  // Bytes held, by part (capacities; `*_used` the bytes of those that are
  // filled). Text inside metadata values is not counted.
  struct Memory {
    std::size_t vectors = 0;
    std::size_t lists = 0;  // the lists of every layer, ids held
    std::size_t lists_used = 0;
    std::size_t layer_lists = 0;  // the per-layer lists, ids held
    std::size_t layer_lists_used = 0;
    std::size_t list_index = 0;  // where each list lies (headers, spans)
    std::size_t rows = 0;        // metadata values and row flags
    std::size_t other = 0;       // levels, weights, layer counts, marks
    std::size_t total() const {
      return vectors + lists + layer_lists + list_index + rows + other;
    }
  };
  Memory memory() const;
  std::size_t memory_bytes() const { return memory().total(); }

 private:
  friend struct ::tarsim::testing::Knobs;
  bool top_lists(std::uint32_t layer) const { return top_lists_ && layer == layers_ - 1; }
  bool own_lists(std::uint32_t layer) const { return layer <= layer_lists_ || top_lists(layer); }
  std::uint32_t arena_of(std::uint32_t layer) const {
    return top_lists(layer) ? layer_lists_ + 1 : std::min(layer, layer_lists_);
  }
  template <class Id>
  const std::vector<ListArena<Id>>& arenas() const {
    if constexpr (sizeof(Id) == 2) {
      return narrow_;
    } else {
      return wide_;
    }
  }
  template <class Id>
  void add_link(std::vector<ListArena<Id>>& arenas, std::uint32_t node, std::uint32_t neighbor);
  void add_link(std::uint32_t node, std::uint32_t neighbor);
  // Moves the lists to 32-bit ids. Strong guarantee.
  void widen();

  std::uint32_t dim_;
  std::uint32_t layers_;
  std::size_t row_width_;  // values per kept row; 0 when rows are not kept

  std::vector<double> level_weights_;  // the positive ones; every later weight is 0
  double weight_total_ = 0.0;          // sum of level_weights_ in index order

  std::uint32_t count_ = 0;
  ValueStorage vectors_;  // node n at n * dim_
  std::vector<std::uint32_t> levels_;
  // Arena 0: node n's list for every layer, without self-links or repeated
  // ids. Arena L, for 1 <= L <= layer_lists_, and arena layer_lists_ + 1 for
  // the top layer when top_lists_: the entries of node n's list whose level
  // reaches that layer, appended at the same moments, so a search of such a
  // layer never reads a neighbour that is not in it: a level test instead
  // would have every walk of the layer read, and skip, the neighbours below
  // it. Those lists cost memory for every node, so only layers 1 and 2,
  // which hold the most nodes and walks, and the top layer, where every
  // query starts at node 0 (whose list names nearly every node), have their
  // own. The walks of the layers between, of few nodes, read the layer-2
  // lists with the level test, and mostly stop reading lists early, once
  // every node of their layer is visited. narrow_ holds the arenas while
  // every id fits 16 bits (the node count is at most narrow_most_), wide_
  // from then on.
  static constexpr std::uint32_t kLowLayerLists = 2;
  std::uint32_t layer_lists_ = 0;
  bool top_lists_ = false;
  bool wide_ids_ = false;
  std::size_t narrow_most_ = std::size_t{1} << 16;
  std::vector<ListArena<std::uint16_t>> narrow_;
  std::vector<ListArena<std::uint32_t>> wide_;
  // layer_size_[L]: nodes with level >= L, for L < min(layers, 64).
  static constexpr std::uint32_t kCountedLayers = 64;
  std::vector<std::size_t> layer_size_;
  std::vector<metadata::Metadata> metadata_;  // node n at n * row_width_
  std::vector<std::uint8_t> has_row_;         // one per node while rows are kept
  // own_marks_[r] == n + 1 while node n is being linked and r is in its list.
  std::vector<std::uint32_t> own_marks_;
};

}  // namespace tarsim::hnsw
