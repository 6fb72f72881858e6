// When the sketches are kept and what they look like, and whether the
// indexes use their bounds at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarsim::sketch {

// The defaults are what the indexes use; the other values exist so that
// tests can force the machinery onto small indexes.
struct Config {
  bool enabled = true;
  // A basis is fitted once the index holds this many vectors...
  std::size_t min_rows = 8192;
  // ... and refitted whenever it has grown this many times since the fit.
  std::size_t growth = 8;
  // No sketches below this dimension: a record would cost too large a share
  // of the vector it stands for.
  std::uint32_t min_dim = 64;
  // At most this many axes. With the size rule, a record is also one cache
  // line (5 axes) below dimension 512, two (13 axes) below 1024 and four
  // above, and never more than a quarter of the vector's bytes: a scan reads
  // every record, so a small one pays more than a few more axes would.
  std::uint32_t max_axes = 29;
  // Euclidean only: also keep every vector's values rounded to a grid, one
  // byte each, for a second, finer bound (see codes.hpp). Kept from
  // dimension 128 on, up to 32768.
  bool codes = false;
  // Euclidean only: also keep every vector's coordinates along principal
  // axes fitted to the data, one byte each, for a bound read 64 axes at a
  // time (see axis_codes.hpp). Kept from dimension 64 on, up to
  // axis_max_dim: the fit and every code cost a product with the basis.
  bool axis_codes = false;
  std::uint32_t axis_max_dim = 512;
#if TARSIM_TESTING
  // Test build only. ignore_size_rule: max_axes alone limits the axes, and
  // the dimension rules of the sketches and codes are off (tests at small
  // dimensions). The rest are planted faults that make the bounds unsound:
  // the rounding margins are multiplied by margin_scale, drop_tail leaves
  // out the residual term of the inner product and cosine bounds, and the
  // code bound's threshold is multiplied by code_threshold_scale (the axis
  // codes' threshold too), and axis_gap_wide takes every axis code gap as
  // one cell more than it proves.
  bool ignore_size_rule = false;
  double margin_scale = 1.0;
  bool drop_tail = false;
  double code_threshold_scale = 1.0;
  bool axis_gap_wide = false;
#endif
};

// Whether the indexes use the bounds: false when the environment variable
// TARSIM_BOUNDS is "off" (a knob for tests and benchmarks), read once.
bool bounds_enabled();

// The configuration an index starts with: the defaults above, enabled as
// bounds_enabled() says.
Config default_config();

// Whether the size rules apply (always, outside the test build).
inline bool size_rules(const Config& config) {
#if TARSIM_TESTING
  return !config.ignore_size_rule;
#else
  (void)config;
  return true;
#endif
}

}  // namespace tarsim::sketch
