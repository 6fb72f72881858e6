// Sketch settings for tests: small indexes get sketches too, and refits come
// at every doubling, so a few hundred rows already cross several refits;
// euclidean ones keep codes at every dimension, and axis codes from 64 on.
#pragma once

#include <cstdint>

#include "sketch/sketch.hpp"

namespace tarsim::sketch::testing {

inline Config small_config(std::uint32_t axes) {
  Config config;
  config.min_rows = 8;
  config.growth = 2;
  config.min_dim = 1;
  config.max_axes = axes;
  config.ignore_size_rule = true;
  config.codes = true;
  config.axis_codes = true;
  // The axis fit costs dim^3: dimension 700 would take most of a test's time.
  config.axis_max_dim = 256;
  return config;
}

}  // namespace tarsim::sketch::testing
