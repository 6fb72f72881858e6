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
      bounds_(params.dim, params.metric, default_sketch_config()) {}

sketch::Config HNSW::default_sketch_config() {
  sketch::Config config = sketch::default_config();
  // A graph walk scores a few thousand nodes per insertion, whatever the
  // size of the index, so the bounds pay from a small index on; the basis
  // fitted then is refitted at 8x, 64x, ... that size.
  config.min_rows = kSketchRows;
  config.codes = true;
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
  graph_.store(vector, level, row);
  bounds_.update(graph_.vector_data(), size());
  if (n == 0 || layers() == 0) return std::nullopt;

  const ScratchLease scratch(scratch_);
  bounds_.prepare(vector, true, size(), *scratch);
  std::vector<Scored> found;
  std::uint32_t entry = 0;
  for (std::uint32_t layer = 0; layer < layers(); ++layer) {
    if (layer < level) {
      // Descent: only move the entry closer.
      if (auto error =
              search_layer(entry, vector, 1, layer, nullptr, 1, *scratch, found, interrupt)) {
        return error;
      }
      entry = found.front().id;
      continue;
    }
    // Node n is in this layer up to its own level but in no list yet.
    const std::size_t unlisted = layer <= level ? 1 : 0;
    if (auto error = search_layer(entry, vector, ef_construction_, layer, nullptr, unlisted,
                                  *scratch, found, interrupt)) {
      return error;
    }
    if (!graph_.link(n, found)) return HNSWError::InvalidNodeID;
    entry = n;
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
                                      const filter::Filter* filter,
                                      std::vector<Scored>& out) const {
  out.clear();
  if (size() == 0) return std::nullopt;
  if (layers() == 0) return HNSWError::InvalidLayer;
  const ScratchLease scratch(scratch_);
  bounds_.prepare(query, false, size(), *scratch);
  std::uint32_t entry = 0;
  for (std::uint32_t layer = layers() - 1; layer >= 1; --layer) {
    if (auto error = search_layer(entry, query, 1, layer, filter, 0, *scratch, out)) return error;
    entry = out.front().id;
  }
  if (auto error = search_layer(entry, query, ef_search_, 0, filter, 0, *scratch, out)) {
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

std::size_t HNSW::memory_bytes() const {
  return graph_.memory_bytes() + bounds_.memory_bytes() + scratch_.memory_bytes();
}

}  // namespace tarsim::hnsw
