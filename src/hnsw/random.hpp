// The source of the uniform draws that pick a node's level.
#pragma once

namespace tarsim::hnsw {

class RandomSource {
 public:
  virtual ~RandomSource();
  // A uniform double in [0, 1): 53 random bits scaled by 2^-53.
  virtual double next_uniform() = 0;
};

// The calling thread's generator, created and seeded from the operating
// system's random source on first use.
RandomSource& thread_random();

}  // namespace tarsim::hnsw
