// Knobs for tests and benchmarks, never needed for correct results. The
// classes they reach into name Knobs a friend and keep no test setter of
// their own. Each function is a template over the class it works on, so
// that this header includes none of them and every test program sees only
// the subsystems it may use.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace tarsim::flat {
class Flat;
}
namespace tarsim::hnsw {
class HNSW;
}
namespace tarsim::sketch {
class Sketch;
struct Config;
struct Query;
}  // namespace tarsim::sketch

namespace tarsim::testing {

struct Knobs {
  // ===================================================== Flat and Sketch
  // The planted faults of the sketches (test build only) are fields of
  // sketch::Config: margin_scale, drop_tail, code_threshold_scale, and the
  // override ignore_size_rule.

  // Whether the index's searches use the sketch bounds (on unless the
  // environment variable TARSIM_BOUNDS is "off").
  template <std::same_as<flat::Flat> F>
  static void set_bounds(F& index, bool on) {
    index.bounds_ = on;
  }
  template <std::same_as<flat::Flat> F>
  static bool bounds(const F& index) {
    return index.bounds_;
  }
  // New sketch settings for the index: its sketches of what is stored are
  // made again.
  template <std::same_as<flat::Flat> F>
  static void set_sketch_config(F& index, const sketch::Config& config) {
    index.sketch_ = decltype(index.sketch_)(index.dim_, index.metric_, config);
    index.sketch_.update(index.vectors_.data(), index.size());
  }
  // The code sum of one stored row against a prepared query, computed one
  // code at a time; -1 when either has no codes.
  template <std::same_as<sketch::Sketch> S>
  static std::int64_t code_sum(const S& sketch, const sketch::Query& query, std::uint32_t id) {
    return sketch.code_sum(query, id);
  }
  // ===================================================== end of Flat and Sketch

  // ================================================================ HNSW
  // Whether layer searches use the sketch bounds (on unless the environment
  // variable TARSIM_BOUNDS is "off" when the index is made). Every answer,
  // distance and list is the same to the bit either way.
  template <std::same_as<hnsw::HNSW> H>
  static void set_bounds(H& index, bool on) { index.bounds_.on_ = on; }
  template <std::same_as<hnsw::HNSW> H>
  static bool bounds(const H& index) { return index.bounds_.on_; }
  // New sketch settings; recomputes the sketches of what is stored.
  template <std::same_as<hnsw::HNSW> H>
  static void set_sketch_config(H& index, const sketch::Config& config) {
    index.set_sketch_config(config);
  }
  template <std::same_as<hnsw::HNSW> H>
  static const auto& sketch(const H& index) { return index.bounds_.sketch_; }
  // How many neighbours of a list are bounded against one worst distance
  // (at least 1). Short chunks test the bounds against the freshest worst,
  // where an unsound margin shows first.
  template <std::same_as<hnsw::HNSW> H>
  static void set_bounded_chunk(H& index, std::size_t chunk) {
    index.bounds_.chunk_ = chunk > 0 ? chunk : 1;
  }
  // Neighbours whose scoring the bounds saved, over the life of the index.
  template <std::same_as<hnsw::HNSW> H>
  static std::size_t skipped(const H& index) { return index.bounds_.stats_.skipped; }
  // Distances an insertion took from its own earlier walks instead of
  // computing them again (on with the bounds), over the life of the index.
  template <std::same_as<hnsw::HNSW> H>
  static std::size_t recalled(const H& index) { return index.bounds_.stats_.recalled; }
  // What each bound was asked about and ruled out lately.
  template <std::same_as<hnsw::HNSW> H>
  static const auto& prune_stats(const H& index) { return index.bounds_.stats_; }
  // Whether insertion and query search answer the walks a run of layers
  // holding the same nodes would repeat without walking them (on unless set
  // off here). Every answer and list is the same either way.
  template <std::same_as<hnsw::HNSW> H>
  static void set_layer_runs(H& index, bool on) { index.use_runs_ = on; }
  // Nodes for which the graph keeps 16-bit ids (at most 65,536): with fewer,
  // small graphs move to 32-bit ids too. Takes effect at the next insertion.
  template <std::same_as<hnsw::HNSW> H>
  static void set_narrow_ids(H& index, std::size_t most) {
    index.graph_.narrow_most_ = most < index.graph_.narrow_most_ ? most : index.graph_.narrow_most_;
  }
  // The index's stored graph, for accounting its memory by part.
  template <std::same_as<hnsw::HNSW> H>
  static const auto& graph(const H& index) { return index.graph_; }
  // ============================================================ end HNSW
};

}  // namespace tarsim::testing
