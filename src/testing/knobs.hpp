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
};

}  // namespace tarsim::testing
