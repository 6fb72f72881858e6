// The layer search: a beam walk from one entry over one layer's lists, in
// stages: validate the call, gather each expanded node's new neighbours,
// prune and score them chunk by chunk, and admit them into the results.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hnsw/hnsw.hpp"

namespace tarsim::hnsw {

namespace {

// Lists grow to a thousand ids and more, each somewhere in its layer's
// arena, and a walk reads most of them whole only to find a few new ids. The hardware
// starts streaming a list only after some of its lines have missed, and
// stops at every page. So a walk asks for the head of the list it will most
// likely read next (the best candidate left), and while it reads a list, for
// the line this many ids ahead. A prefetch changes no result.
constexpr std::size_t kListAhead = 1024;  // bytes

template <class Id>
void prefetch_head(std::span<const Id> list) {
  constexpr std::size_t kIdsPerLine = 64 / sizeof(Id);
  const Id* at = list.data();
  for (std::size_t z = 0; z < list.size() && z < kListAhead / sizeof(Id); z += kIdsPerLine) {
    __builtin_prefetch(at + z);
  }
}

// Calls take(id) for the ids of the list in order, prefetching ahead.
// Blocks of 16 ids, which the compiler unrolls whole (a line of 32-bit ids,
// half a line of 16-bit ones).
template <class Id, class Take>
[[gnu::always_inline]] inline void read_list(std::span<const Id> list, Take take) {
  constexpr std::size_t kBlock = 16;
  constexpr std::size_t kAhead = kListAhead / sizeof(Id);
  const Id* at = list.data();
  const std::size_t size = list.size();
  std::size_t z = 0;
  for (; z + kBlock <= size; z += kBlock) {
    if (z + kAhead < size) __builtin_prefetch(at + z + kAhead);
    for (std::size_t w = z; w < z + kBlock; ++w) take(at[w]);
  }
  for (; z < size; ++z) take(at[z]);
}

std::optional<HNSWError> as_error(filter::FilterCheck check) {
  switch (check) {
    case filter::FilterCheck::Ok: return std::nullopt;
    case filter::FilterCheck::NoSchema: return HNSWError::NoSchema;
    case filter::FilterCheck::EmptySchema: return HNSWError::EmptySchema;
    case filter::FilterCheck::AttributeNotFound: return HNSWError::AttributeNotFound;
  }
  return HNSWError::AttributeNotFound;
}

// One walk over lists of ids of type Id. Its stages are inlined into run(),
// which keeps the walk's state in registers as one function would.
template <class Id>
class Walk {
 public:
  Walk(const Graph& graph, const Bounds& bounds, metrics::Metric metric, SearchScratch& scratch,
       std::span<const double> query, std::uint32_t ef, std::uint32_t layer,
       const filter::Filter* filter, std::size_t position, std::size_t unlisted,
       Interrupt* interrupt)
      : graph_(graph),
        scratch_(scratch),
        candidates_(scratch.candidates),
        prune_(bounds, scratch, metric, query, graph.vector_data(), graph.dim()),
        ef_(ef),
        layer_(layer),
        filter_(filter),
        position_(position),
        interrupt_(interrupt),
        stamp_(scratch.next_visit_stamp(graph.size())),
        visited_(scratch.visit_stamps.data()),
        levels_(graph.levels().data()),
        // Nodes of this layer that some list may name and that are still
        // unvisited. Once it is 0 no list can offer a new neighbour, and
        // reading the lists is skipped.
        unvisited_(graph.listed_in(layer, unlisted)) {
    if (filter_ != nullptr && scratch_.filter_stamps.size() < graph.size()) {
      scratch_.filter_stamps.resize(graph.size(), 0);
    }
    failed_ = scratch_.filter_stamps.data();
    const Graph::LayerLists<Id> lists = graph.lists_of<Id>(layer);
    lists_ = lists.lists;
    test_levels_ = lists.test_levels;
  }

  [[gnu::always_inline]] std::optional<HNSWError> run(std::uint32_t entry,
                                                      std::vector<Scored>& out) {
    start(entry, out);
    const ComesAfter after;
    while (!candidates_.empty()) {
      std::pop_heap(candidates_.begin(), candidates_.end(), after);
      const CandidateKey current = candidates_.back();
      candidates_.pop_back();
      // Stop at the first candidate ranking after the current worst result;
      // a NaN worst never stops the walk (nothing ranks after NaN).
      if (order_key(out.back().distance) < candidate_order(current)) break;
      if (unvisited_ == 0) continue;
      const std::size_t count = gather(candidate_id(current));
      if (count == 0) continue;
      // Nothing is linked yet: stopping here leaves the walk's state behind
      // for the next walk to reset.
      if (interrupt_ != nullptr &&
          interrupt_->after(count * (std::size_t{graph_.dim()} + 1))) {
        return HNSWError::Interrupted;
      }
      score_and_admit(count, out);
    }
    return std::nullopt;
  }

 private:
  // The entry, scored exactly and taken without a level or filter test, is
  // the first result and the first candidate.
  [[gnu::always_inline]] void start(std::uint32_t entry, std::vector<Scored>& out) {
    double first;
    prune_.score_exactly(&entry, 1, &first);
    out.clear();
    out.push_back({first, entry});
    candidates_.clear();
    candidates_.push_back(candidate_key(first, entry));
    visited_[entry] = stamp_;
    if (levels_[entry] >= layer_) --unvisited_;
  }

  // Gathers into batch_ids, in list order, the neighbours of `node` that
  // this layer can use and that are new to the walk, marks them visited and
  // returns how many there are. Each of the three ways keeps exactly the
  // neighbours a level test, a visited test and (with a filter) the filter
  // pass; they differ only in the work.
  [[gnu::always_inline]] std::size_t gather(std::uint32_t node) {
    const std::span<const Id> list = lists_->list(node);
    if (!candidates_.empty()) prefetch_head(lists_->list(candidate_id(candidates_.front())));
    if (scratch_.batch_ids.size() < list.size()) scratch_.batch_ids.resize(list.size());
    ids_ = scratch_.batch_ids.data();
    const std::size_t count = filter_ != nullptr ? gather_passing(list)
                              : test_levels_     ? gather_in_layer(list)
                                                 : gather_all(list);
    unvisited_ -= count;
    return count;
  }

  // Every neighbour is in the layer. A list never repeats an id, so the new
  // ones can be marked after the whole list is read.
  [[gnu::always_inline]] std::size_t gather_all(std::span<const Id> list) {
    std::uint32_t* ids = ids_;
    std::size_t count = 0;
    read_list(list, [&](std::uint32_t neighbor) {
      ids[count] = neighbor;
      count += visited_[neighbor] != stamp_;
    });
    for (std::size_t k = 0; k < count; ++k) visited_[ids[k]] = stamp_;
    return count;
  }

  // With the level test, branch-free: a node below the layer fails for the
  // whole call, so marking it visited changes nothing.
  [[gnu::always_inline]] std::size_t gather_in_layer(std::span<const Id> list) {
    std::uint32_t* ids = ids_;
    std::size_t count = 0;
    read_list(list, [&](std::uint32_t neighbor) {
      const bool fresh = (levels_[neighbor] >= layer_) & (visited_[neighbor] != stamp_);
      visited_[neighbor] = stamp_;
      ids[count] = neighbor;
      count += fresh;
    });
    return count;
  }

  // With a filter. A neighbour failing it is not marked visited, but its
  // verdict is kept for the rest of the walk: the node's row and the filter
  // do not change during it, so testing it again would fail again.
  [[gnu::always_inline]] std::size_t gather_passing(std::span<const Id> list) {
    std::uint32_t* ids = ids_;
    std::size_t count = 0;
    read_list(list, [&](std::uint32_t neighbor) {
      if (levels_[neighbor] < layer_ || visited_[neighbor] == stamp_) return;
      if (failed_[neighbor] == stamp_) return;
      if (!graph_.passes(neighbor, *filter_, position_)) {
        failed_[neighbor] = stamp_;
        return;
      }
      visited_[neighbor] = stamp_;
      ids[count++] = neighbor;
    });
    return count;
  }

  // Scores the gathered batch chunk by chunk and admits each chunk in list
  // order. Until the results are full every neighbour is admitted, so those
  // are scored exactly first; once full, the pruner drops only rows that
  // admission would reject, and keeps the others in list order with their
  // exact distances, so the chunks admit what scoring every row would. A
  // NaN worst admits nothing more.
  [[gnu::always_inline]] void score_and_admit(std::size_t count, std::vector<Scored>& out) {
    if (scratch_.batch_distances.size() < count) scratch_.batch_distances.resize(count);
    std::uint32_t* ids = ids_;
    double* dist = scratch_.batch_distances.data();
    for (std::size_t i = 0; i < count;) {
      ChunkPruner::Chunk chunk;
      if (out.size() < ef_) {
        const std::size_t length = std::min<std::size_t>(ef_ - out.size(), count - i);
        prune_.score_exactly(ids + i, length, dist + i);
        chunk = {length, length};
      } else {
        const double worst = out.back().distance;
        if (std::isnan(worst)) break;
        chunk = prune_.prune(ids + i, dist + i, count - i, worst);
      }
      admit(ids + i, dist + i, chunk.kept, out);
      i += chunk.length;
    }
  }

  // Admits the scored rows in list order: a row enters while the results
  // are not full or when its distance is strictly below the worst, as a
  // result (at result_position) and as a candidate; the results keep ef_ at
  // most.
  [[gnu::always_inline]] void admit(const std::uint32_t* ids, const double* dist,
                                    std::size_t kept, std::vector<Scored>& out) {
    const ComesAfter after;
    for (std::size_t j = 0; j < kept; ++j) {
      const double d = dist[j];
      if (out.size() >= ef_ && !(d < out.back().distance)) continue;
      const Scored scored{d, ids[j]};
      // The list of a candidate is read when it is expanded, and where it
      // lies is asked for one expansion earlier (prefetch_head): its
      // header, a random one of thousands, is fetched now.
      __builtin_prefetch(lists_->span_of(ids[j]));
      candidates_.push_back(candidate_key(d, ids[j]));
      std::push_heap(candidates_.begin(), candidates_.end(), after);
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(result_position(out, d)), scored);
      if (out.size() > ef_) out.pop_back();
    }
  }

  const Graph& graph_;
  SearchScratch& scratch_;
  SearchScratch::Buffer<CandidateKey>& candidates_;
  ChunkPruner prune_;
  const std::uint32_t ef_;
  const std::uint32_t layer_;
  const filter::Filter* const filter_;
  const std::size_t position_;
  Interrupt* const interrupt_;
  const std::uint8_t stamp_;
  std::uint8_t* const visited_;
  std::uint8_t* failed_;
  const std::uint32_t* const levels_;
  const ListArena<Id>* lists_;
  bool test_levels_;
  std::size_t unvisited_;
  std::uint32_t* ids_ = nullptr;  // the batch of the node being expanded
};

}  // namespace

std::optional<HNSWError> HNSW::search_layer(std::uint32_t entry, std::span<const double> query,
                                            std::uint32_t ef, std::uint32_t layer,
                                            const filter::Filter* filter, std::size_t unlisted,
                                            SearchScratch& scratch, std::vector<Scored>& out,
                                            Interrupt* interrupt) const {
  if (ef == 0) return HNSWError::InvalidEF;
  if (layer >= layers()) return HNSWError::InvalidLayer;
  std::size_t position = 0;
  if (filter != nullptr) {
    if (auto error = as_error(filter::validate(schema_, *filter))) return error;
    position = filter::attribute_position(*schema_, *filter);
  }
  if (entry >= size()) return HNSWError::InvalidNodeID;
  if (graph_.wide_ids()) {
    Walk<std::uint32_t> walk(graph_, bounds_, metric_, scratch, query, ef, layer, filter, position,
                             unlisted, interrupt);
    return walk.run(entry, out);
  }
  Walk<std::uint16_t> walk(graph_, bounds_, metric_, scratch, query, ef, layer, filter, position,
                           unlisted, interrupt);
  return walk.run(entry, out);
}

}  // namespace tarsim::hnsw
