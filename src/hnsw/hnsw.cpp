#include "hnsw/hnsw.hpp"

#include <algorithm>
#include <functional>

namespace tarsim::hnsw {

namespace {

// Nodes stored before the first basis is fitted.
constexpr std::size_t kSketchRows = 1024;

}  // namespace

const char* error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF: return "InvalidEF";
    case HNSWError::InvalidLayer: return "InvalidLayer";
    case HNSWError::NoSchema: return "NoSchema";
    case HNSWError::EmptySchema: return "EmptySchema";
    case HNSWError::AttributeNotFound: return "AttributeNotFound";
    case HNSWError::EmptyVectors: return "EmptyVectors";
    case HNSWError::InvalidNodeID: return "InvalidNodeID";
    case HNSWError::Interrupted: return "Interrupted";
  }
  return "Unknown";
}

HNSW::HNSW(Params params)
    : m_(params.m),
      ef_construction_(params.ef_construction),
      ef_search_(params.ef_search),
      metric_(params.metric),
      schema_(std::move(params.schema)),
      graph_(params.dim, params.layers, schema_ ? schema_->size() : 0),
      bounds_(params.dim, params.metric, default_sketch_config(params.metric)) {}

sketch::Config HNSW::default_sketch_config(metrics::Metric metric) {
  sketch::Config config = sketch::default_config();
  // A graph walk scores a few thousand nodes per insertion, whatever the
  // size of the index, so the bounds pay from a small index on; the basis
  // fitted then is refitted at 8x, 64x, ... that size.
  config.min_rows = kSketchRows;
  config.codes = true;
  // The inner product and the cosine score every neighbour in full: the
  // axis codes rule most of them out after a block of 64 bytes. The
  // euclidean walks have the records, the grid codes and a kernel that gives
  // a neighbour up after a line or two of its vector; axis codes would rule
  // out few of the neighbours those leave.
  config.axis_codes = metric != metrics::Metric::Euclidean;
  return config;
}

void HNSW::set_sketch_config(const sketch::Config& config) {
  bounds_.reset(config, graph_.vector_data(), graph_.size());
}

std::optional<HNSWError> HNSW::insert(std::span<const double> vector, const metadata::Row* row,
                                      RandomSource& rng, Interrupt* interrupt) {
  const std::uint32_t n = size();
  if (vector.size() != dim() || !room_for(n, 1)) return HNSWError::InvalidNodeID;
  if (interrupt != nullptr && interrupt->after(std::size_t{dim()} + 1)) {
    return HNSWError::Interrupted;
  }
  // A vector read from this index's own storage would move when it grows.
  // The caller's vector is usually another object, and only std::less and
  // its kin order pointers into different objects.
  const std::less<const double*> before;
  const std::span<const double> own_storage = graph_.vectors();
  if (!vector.empty() && !before(vector.data(), own_storage.data()) &&
      before(vector.data(), own_storage.data() + own_storage.size())) {
    const std::vector<double> own(vector.begin(), vector.end());
    return insert(own, row, rng, interrupt);
  }
  const std::uint32_t level = n == 0 ? layers() - 1 : graph_.draw_level(rng);
  runs_.reserve_for(level);
  graph_.store(vector, level, row);
  runs_.add(level);
  bounds_.update(graph_.vector_data(), size());
  if (n == 0 || layers() == 0) return std::nullopt;

  const ScratchLease scratch(scratch_);
  bounds_.prepare(vector, true, size(), *scratch);
  return link_node(n, level, vector, *scratch, interrupt);
}

// Layer by layer from 0 up: a descent pass (width 1, only moving the entry)
// below the node's level, a linking pass (width ef_construction) from it up.
//
// Two kinds of pass are answered without a walk (see runs.hpp for why two
// walks of one run with the same inputs give the same answer):
// - A descent walk that returns its own entry: the next layer of its run
//   starts from the same entry, so its walk is the same and returns it too,
//   and so on up the run; the entry stays for the rest of the run below the
//   node's level.
// - A linking pass that starts from node n and links nothing: every list is
//   as before, and the next pass of the run starts from n again, so it finds
//   the same nodes and links nothing either, up to the run's end. Its answer
//   serves only to link, and the entry after it is n whatever it found.
// A pass links nothing exactly when n's list keeps its length: the graph
// links n both ways with every node found that is not n and not yet in n's
// list, and with no other.
std::optional<HNSWError> HNSW::link_node(std::uint32_t n, std::uint32_t level,
                                         std::span<const double> vector, SearchScratch& scratch,
                                         Interrupt* interrupt) {
  std::vector<Scored> found;
  std::uint32_t entry = 0;
  for (std::uint32_t layer = 0; layer < layers();) {
    // Layers layer .. top hold the same nodes.
    const std::uint32_t top = use_runs_ ? runs_.top_of_run(layer) : layer;
    if (layer < level) {
      if (auto error =
              search_layer(entry, vector, 1, layer, nullptr, 1, scratch, found, interrupt)) {
        return error;
      }
      const bool settled = found.front().id == entry;
      entry = found.front().id;
      layer = settled ? std::min(top, level - 1) + 1 : layer + 1;
      continue;
    }
    const bool may_settle = entry == n && top > layer;
    const std::size_t listed = may_settle ? graph_.neighbors_of(n).size() : 0;
    // Node n is in this layer up to its own level but in no list yet.
    const std::size_t unlisted = layer <= level ? 1 : 0;
    if (auto error = search_layer(entry, vector, ef_construction_, layer, nullptr, unlisted,
                                  scratch, found, interrupt)) {
      return error;
    }
    if (!graph_.link(n, found)) return HNSWError::InvalidNodeID;
    entry = n;
    const bool settled = may_settle && graph_.neighbors_of(n).size() == listed;
    // top + 1 is at most layers(), so it cannot wrap.
    layer = settled ? top + 1 : layer + 1;
  }
  return std::nullopt;
}

std::optional<HNSWError> HNSW::create(const FloatRows& vectors,
                                      const std::vector<metadata::Row>& rows, RandomSource& rng,
                                      Interrupt* interrupt) {
  if (vectors.empty()) return HNSWError::EmptyVectors;
  if (!schema_) return insert_each(vectors, nullptr, rng, interrupt);
  if (rows.size() != vectors.size()) return HNSWError::AttributeNotFound;
  return insert_each(vectors, &rows, rng, interrupt);
}

std::optional<HNSWError> HNSW::create(const FloatRows& vectors, RandomSource& rng,
                                      Interrupt* interrupt) {
  if (vectors.empty()) return HNSWError::EmptyVectors;
  return insert_each(vectors, nullptr, rng, interrupt);
}

std::optional<HNSWError> HNSW::insert_each(const FloatRows& vectors,
                                           const std::vector<metadata::Row>* rows,
                                           RandomSource& rng, Interrupt* interrupt) {
  std::optional<HNSWError> error;
  for (std::size_t i = 0; i < vectors.size() && !error; ++i) {
    const metadata::Row* row = rows != nullptr ? &(*rows)[i] : nullptr;
    error = insert(vectors.row(i), row, rng, interrupt);
  }
  // The lists stop growing for now: their spare room goes.
  graph_.trim_lists();
  return error;
}

std::optional<HNSWError> HNSW::knn(std::uint32_t entry, std::span<const double> query,
                                   std::uint32_t ef, std::uint32_t layer,
                                   const filter::Filter* filter, std::vector<Scored>& out) const {
  const ScratchLease scratch(scratch_);
  bounds_.prepare(query, false, size(), *scratch);
  return search_layer(entry, query, ef, layer, filter, 0, *scratch, out);
}

std::optional<HNSWError> HNSW::search(std::span<const double> query, std::uint32_t k,
                                      const filter::Filter* filter, std::vector<Scored>& out,
                                      Interrupt* interrupt) const {
  out.clear();
  if (size() == 0) return std::nullopt;
  if (layers() == 0) return HNSWError::InvalidLayer;
  const ScratchLease scratch(scratch_);
  bounds_.prepare(query, false, size(), *scratch);
  std::uint32_t entry = 0;
  if (auto error = descend(query, filter, *scratch, out, interrupt, entry)) return error;
  if (auto error =
          search_layer(entry, query, ef_search_, 0, filter, 0, *scratch, out, interrupt)) {
    return error;
  }
  if (filter != nullptr &&
      !graph_.passes(entry, *filter, filter::attribute_position(*schema_, *filter))) {
    auto it = std::find_if(out.begin(), out.end(), [&](const Scored& s) { return s.id == entry; });
    if (it != out.end()) out.erase(it);
  }
  const std::size_t keep = std::max<std::uint32_t>(k, 1);
  if (out.size() > keep) out.resize(keep);
  return std::nullopt;
}

// Greedy walks (width 1) from the top layer down to layer 1. A walk that
// returns its own entry answers the rest of its run: the next layer down the
// run starts from that entry, so its walk is the same (runs.hpp) and returns
// it again. The filter is the same for every walk of the query.
std::optional<HNSWError> HNSW::descend(std::span<const double> query,
                                       const filter::Filter* filter, SearchScratch& scratch,
                                       std::vector<Scored>& out, Interrupt* interrupt,
                                       std::uint32_t& entry) const {
  for (std::uint32_t layer = layers() - 1; layer >= 1;) {
    if (auto error = search_layer(entry, query, 1, layer, filter, 0, scratch, out, interrupt)) {
      return error;
    }
    const bool settled = out.front().id == entry;
    entry = out.front().id;
    // Layers bottom .. layer hold the same nodes.
    const std::uint32_t bottom = settled && use_runs_ ? runs_.bottom_of_run(layer) : layer;
    if (bottom <= 1) break;
    layer = bottom - 1;
  }
  return std::nullopt;
}

std::size_t HNSW::memory_bytes() const {
  return graph_.memory_bytes() + runs_.memory_bytes() + bounds_.memory_bytes() +
         scratch_.memory_bytes();
}

}  // namespace tarsim::hnsw
