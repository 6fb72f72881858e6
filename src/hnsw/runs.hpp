// Runs of layers that hold the same nodes.
//
// Node x takes part in layer L exactly when its level is at least L, so
// layers a < b hold the same nodes exactly when no node has a level in
// [a, b - 1]. The levels present in an index therefore cut its layers into
// runs: the run of layer L reaches up to the lowest present level >= L and
// down to just above the highest present level < L. Node 0 has the top
// level, so every layer's run ends at or below the top layer.
//
// Why a walk over a run need not be repeated. A layer search reads, besides
// the query, its width, its filter and its entry, only the graph's lists
// and, for each node it meets, whether the node takes part in the layer
// (the level test). Everything else it touches (the visit stamps, the
// distance memo, the sketch bounds, the count of nodes not yet visited, the
// per-layer copies of the lists) changes the work, never a result: the
// proofs are beside each of them. So two searches of layers of one run,
// with the same lists, entry, query, width and filter, give the same
// answer. On that rest the shortcuts of insertion and query search (see
// hnsw.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarsim::hnsw {

class LevelRuns {
 public:
  // Readies the addition of `level`: after it, add(level) cannot fail.
  // May throw std::bad_alloc, before anything changes.
  void reserve_for(std::uint32_t level);
  // Records that a node of `level` is stored (after reserve_for(level)).
  void add(std::uint32_t level) noexcept;

  // The highest layer of `layer`'s run: the lowest present level >= layer
  // (`layer` itself when there is none).
  std::uint32_t top_of_run(std::uint32_t layer) const;
  // The lowest layer of `layer`'s run: one above the highest present level
  // below `layer`, or 0 when there is none.
  std::uint32_t bottom_of_run(std::uint32_t layer) const;

  // The present levels, ascending: at most 747 of them (the levels below
  // 746 that a draw can give, and the top level of node 0).
  const std::vector<std::uint32_t>& levels() const { return levels_; }
  std::size_t memory_bytes() const { return levels_.capacity() * sizeof(std::uint32_t); }

 private:
  std::vector<std::uint32_t> levels_;
};

}  // namespace tarsim::hnsw
