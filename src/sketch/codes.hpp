// The byte codes of the euclidean sketches: every value of a vector rounded
// to one grid, one byte each, and the bound on the distance that the codes
// of two vectors prove. The grid, the codes and the threshold are all here,
// with the argument that the bound holds (codes.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"
#include "sketch/config.hpp"

namespace tarsim::sketch::codes {

// The grid: value centre + k step for the code k in [-127, 127], and the
// bytes of codes per vector, the dimension rounded up to 64 (0: no codes).
struct Grid {
  double centre = 0.0;
  double step = 0.0;
  std::size_t stride = 0;
};

// Whether a sketch with this configuration keeps codes at all.
bool wanted(const Config& config, metrics::Metric metric, std::size_t dim);

// The grid for the rows of `sample` (provable rows of dim values), with
// room for the rows that come after; stride 0 when none can be made.
Grid fit(const std::vector<const double*>& sample, std::size_t dim);

// The codes of x (dim values) into out (grid.stride bytes, 0 past dim);
// false, and all 0, when a value is off the grid or not finite.
bool encode(const Grid& grid, const double* x, std::size_t dim, std::int8_t* out);

// The code sum that proves a row's computed euclidean distance not below
// `worst`, INT32_MAX when nothing can be proven.
std::int32_t threshold(const Grid& grid, double worst);
#if TARSIM_TESTING
// The same with a planted fault: the threshold multiplied by `scale` before
// it is rounded up, which makes the bound unsound below 1.
std::int32_t threshold(const Grid& grid, double worst, double scale);
#endif

// The code sum of two coded vectors of `stride` codes, one code at a time.
std::int64_t sum(const std::int8_t* q, const std::int8_t* x, std::size_t stride);

}  // namespace tarsim::sketch::codes
