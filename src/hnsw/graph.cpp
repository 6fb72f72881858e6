#include "hnsw/graph.hpp"

#include <algorithm>
#include <cmath>

namespace tarsim::hnsw {

namespace {

// Grows capacity geometrically so that `extra` more elements fit; after it
// the appends of one node cannot fail half-way.
template <class T, class A>
void make_room(std::vector<T, A>& v, std::size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

template <class T, class A>
std::size_t held(const std::vector<T, A>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

Graph::Graph(std::uint32_t dim, std::uint32_t layers, std::size_t row_width)
    : dim_(dim), layers_(layers), row_width_(row_width) {
  layer_lists_ = layers_ == 0 ? 0 : std::min(layers_ - 1, kLowLayerLists);
  top_lists_ = layers_ > 0 && layers_ - 1 > layer_lists_;
  narrow_.resize(std::size_t{layer_lists_} + 1 + (top_lists_ ? 1 : 0));
  layer_size_.assign(std::min(layers_, kCountedLayers), 0);
  // Weights fall as e^-i; once one underflows to 0 every later one is 0 too
  // and is not stored. Adding those zeros to the positive total would not
  // change it, nor any running sum of the level draw.
  double counter = 0.0;
  for (std::uint32_t i = 0; i < layers_; ++i) {
    const double weight = std::exp(-counter);
    if (weight == 0.0) break;
    level_weights_.push_back(weight);
    weight_total_ += weight;
    counter += 1.0;
  }
}

std::uint32_t Graph::draw_level(RandomSource& rng) const {
  double threshold = weight_total_ * rng.next_uniform();
  // The zero weights past the stored ones leave the running sum unchanged,
  // so none of their levels can qualify.
  double running = 0.0;
  for (std::uint32_t i = 0; i < level_weights_.size(); ++i) {
    running += level_weights_[i];
    if (running > threshold) return i;
  }
  return layers_ - 1;  // wraps to 4294967295 when there are no layers
}

void Graph::store(std::span<const double> vector, std::uint32_t level,
                  const metadata::Row* row) {
  // Everything that can fail (copying the row's text, growing storage)
  // happens before the first append, so a node is stored whole or not at all.
  const bool keep_row = row_width_ > 0;
  const bool full_row = keep_row && row != nullptr && row->size() == row_width_;
  metadata::Row copy;
  if (full_row) copy = *row;
  if (!wide_ids_ && count_ >= narrow_most_) widen();
  make_room(vectors_, vector.size());
  make_room(levels_, 1);
  for (auto& arena : narrow_) arena.reserve_nodes(1);
  for (auto& arena : wide_) arena.reserve_nodes(1);
  if (keep_row) {
    make_room(metadata_, row_width_);
    make_room(has_row_, 1);
  }
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  levels_.push_back(level);
  for (std::uint32_t l = 0; l < layer_size_.size() && l <= level; ++l) ++layer_size_[l];
  for (auto& arena : narrow_) arena.add_node();
  for (auto& arena : wide_) arena.add_node();
  if (keep_row) {
    if (full_row) {
      for (metadata::Metadata& value : copy) metadata_.push_back(std::move(value));
    } else {
      metadata_.resize(metadata_.size() + row_width_);
    }
    has_row_.push_back(full_row ? 1 : 0);
  }
  ++count_;
}

std::span<const metadata::Metadata> Graph::row(std::uint32_t id) const {
  if (row_width_ == 0 || id >= count_ || has_row_[id] == 0) return {};
  return {metadata_.data() + static_cast<std::size_t>(id) * row_width_, row_width_};
}

template <class Id>
void Graph::add_link(std::vector<ListArena<Id>>& arenas, std::uint32_t node,
                     std::uint32_t neighbor) {
  // Room first, in every list that takes the link, so that the link is made
  // in all of them or (std::bad_alloc) in none.
  const std::uint32_t low = std::min(levels_[neighbor], layer_lists_);
  const bool top = top_lists_ && levels_[neighbor] >= layers_ - 1;
  for (std::uint32_t layer = 0; layer <= low; ++layer) arenas[layer].make_room(node);
  if (top) arenas[layer_lists_ + 1].make_room(node);
  for (std::uint32_t layer = 0; layer <= low; ++layer) {
    arenas[layer].push(node, static_cast<Id>(neighbor));
  }
  if (top) arenas[layer_lists_ + 1].push(node, static_cast<Id>(neighbor));
}

void Graph::add_link(std::uint32_t node, std::uint32_t neighbor) {
  if (wide_ids_) {
    add_link(wide_, node, neighbor);
  } else {
    add_link(narrow_, node, neighbor);
  }
}

void Graph::widen() {
  std::vector<ListArena<std::uint32_t>> wide(narrow_.size());
  for (std::size_t i = 0; i < narrow_.size(); ++i) wide[i].assign(narrow_[i]);
  wide_.swap(wide);
  narrow_.clear();
  narrow_.shrink_to_fit();
  wide_ids_ = true;
}

void Graph::trim_lists() {
  for (auto& arena : narrow_) arena.trim();
  for (auto& arena : wide_) arena.trim();
}

bool Graph::link(std::uint32_t n, std::span<const Scored> found) {
  // Links are made both ways, but a list never names its own node or an id
  // it already holds: a repeated id is always skipped by a search (visited,
  // or failing the same level and filter tests), and an expanded node is
  // always visited already. A pass links n and r both ways for every r it
  // found, so n is already in r's list exactly when an earlier pass of this
  // insertion found r, that is when r is marked as in n's list (below).
  // The mark is read instead of r's last entry, the tail of a list
  // somewhere in memory.
  if (own_marks_.size() < count_) own_marks_.resize(count_, 0);
  for (const Scored& r : found) {
    if (r.id >= count_) return false;
    if (r.id == n || own_marks_[r.id] == n + 1) continue;
    add_link(r.id, n);
  }
  if (count_ != n + 1) return false;
  for (const Scored& r : found) {
    if (r.id == n || own_marks_[r.id] == n + 1) continue;
    own_marks_[r.id] = n + 1;
    add_link(n, r.id);
  }
  return true;
}

std::vector<std::uint32_t> Graph::neighbors_of(std::uint32_t node) const {
  return neighbors_of(node, 0);
}

std::vector<std::uint32_t> Graph::neighbors_of(std::uint32_t node, std::uint32_t layer) const {
  if (node >= count_ || layer >= layers_) return {};
  const auto read = [&](const auto& arenas) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t neighbor : arenas[arena_of(layer)].list(node)) {
      if (levels_[neighbor] >= layer) out.push_back(neighbor);
    }
    return out;
  };
  return wide_ids_ ? read(wide_) : read(narrow_);
}

void Graph::flat_view(std::vector<std::uint32_t>& neighbors,
                      std::vector<std::uint32_t>& offsets) const {
  neighbors.clear();
  offsets.clear();
  offsets.reserve(count_);
  const auto read = [&](const auto& arenas) {
    for (std::uint32_t node = 0; node < count_; ++node) {
      offsets.push_back(static_cast<std::uint32_t>(neighbors.size()));
      const auto list = arenas[0].list(node);
      neighbors.insert(neighbors.end(), list.begin(), list.end());
    }
  };
  if (wide_ids_) {
    read(wide_);
  } else {
    read(narrow_);
  }
}

Graph::Memory Graph::memory() const {
  Memory m;
  m.vectors = held(vectors_);
  const auto count = [&](const auto& arenas) {
    for (std::size_t layer = 0; layer < arenas.size(); ++layer) {
      (layer == 0 ? m.lists : m.layer_lists) += arenas[layer].held_bytes();
      (layer == 0 ? m.lists_used : m.layer_lists_used) += arenas[layer].used_bytes();
      m.list_index += arenas[layer].index_bytes();
    }
    m.list_index += held(arenas);
  };
  count(narrow_);
  count(wide_);
  m.rows = held(metadata_) + held(has_row_);
  m.other = held(levels_) + held(own_marks_) + held(layer_size_) + held(level_weights_);
  return m;
}

}  // namespace tarsim::hnsw
