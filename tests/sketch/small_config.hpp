// Sketch settings for tests: small indexes get sketches too, and refits come
// at every doubling, so a few hundred rows already cross several refits;
// euclidean ones keep codes at every dimension.
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
  return config;
}

}  // namespace tarsim::sketch::testing
