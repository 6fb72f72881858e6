// Knobs for tests and benchmarks: settings and statistics of the indexes
// that no correct result needs, kept out of the release interfaces. Each
// index class names Knobs as its friend; nothing else reaches inside.
#pragma once

#include <cstddef>

#include "hnsw/hnsw.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::testing {

struct Knobs {
  // ================================================================ HNSW
  // Whether layer searches use the sketch bounds (on unless the environment
  // variable TARSIM_BOUNDS is "off" when the index is made). Every answer,
  // distance and list is the same to the bit either way.
  static void set_bounds(hnsw::HNSW& index, bool on) { index.bounds_.on_ = on; }
  static bool bounds(const hnsw::HNSW& index) { return index.bounds_.on_; }
  // New sketch settings; recomputes the sketches of what is stored.
  static void set_sketch_config(hnsw::HNSW& index, const sketch::Config& config) {
    index.set_sketch_config(config);
  }
  static const sketch::Sketch& sketch(const hnsw::HNSW& index) { return index.bounds_.sketch_; }
  // How many neighbours of a list are bounded against one worst distance
  // (at least 1). Short chunks test the bounds against the freshest worst,
  // where an unsound margin shows first.
  static void set_bounded_chunk(hnsw::HNSW& index, std::size_t chunk) {
    index.bounds_.chunk_ = chunk > 0 ? chunk : 1;
  }
  // Neighbours whose scoring the bounds saved, over the life of the index.
  static std::size_t skipped(const hnsw::HNSW& index) { return index.bounds_.stats_.skipped; }
  // Distances an insertion took from its own earlier walks instead of
  // computing them again (on with the bounds), over the life of the index.
  static std::size_t recalled(const hnsw::HNSW& index) { return index.bounds_.stats_.recalled; }
  // ============================================================ end HNSW
};

}  // namespace tarsim::testing
