// A seeded level source for graph tests: the same draws on every run.
#pragma once

#include <cstdint>
#include <random>

#include "hnsw/hnsw.hpp"

namespace tarsim::hnsw::testing {

class Seeded : public RandomSource {
 public:
  explicit Seeded(std::uint64_t seed) : engine_(seed) {}
  double next_uniform() override { return static_cast<double>(engine_() >> 11) * 0x1p-53; }

 private:
  std::mt19937_64 engine_;
};

}  // namespace tarsim::hnsw::testing
