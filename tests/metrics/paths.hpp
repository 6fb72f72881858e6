// The SIMD paths this processor can run, the scalar one first: the tests
// hold each against the scalar functions.
#pragma once

#include <vector>

#include "metrics/simd.hpp"

namespace tarsim::metrics {

inline std::vector<simd::Path> runnable_paths() {
  std::vector<simd::Path> paths;
  using simd::Path;
  for (Path p : {Path::Scalar, Path::Avx2, Path::Avx512, Path::Neon}) {
    if (simd::supported(p)) paths.push_back(p);
  }
  return paths;
}

}  // namespace tarsim::metrics
