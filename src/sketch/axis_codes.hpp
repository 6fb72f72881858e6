// Codes along the principal axes: every stored vector's coordinates in an
// orthonormal basis fitted to the data, the axes ordered by the spread of
// the data along them, each coordinate rounded to a grid in one byte. A scan
// reads a row's codes a block of 64 axes at a time, the axes of most spread
// first, and gives the row up at the first block whose code gaps prove that
// its euclidean distance cannot rank before the worst kept one. The fit,
// the codes and the threshold are here; axis_codes.cpp proves the bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"
#include "sketch/config.hpp"

namespace tarsim::sketch::axis {

constexpr std::size_t kBlock = 64;
// The first code of a row that has none; every code of a coded row lies in
// [-127, 127]. A row without codes is never ruled out.
constexpr std::int8_t kUncoded = -128;

// The grid: axis i of the basis has the value centres[i] + k steps[b] for
// the code k, b = i / 64 its block.
struct Grid {
  std::size_t axes = 0;          // coded axes, a multiple of 64; 0: no codes
  std::vector<double> basis;     // axes rows of dim values
  std::vector<double> centres;   // one per axis
  std::vector<double> steps;     // one per block
  std::vector<double> weights;   // one per block: the rounded square of its step
  double limit = 0.0;            // rows whose norm bound exceeds it get no codes
  double delta = 0.0;            // error of the computed coordinates per unit of norm
  double scale = 0.0;            // the threshold's factor (see threshold)
};

// Whether a sketch with this configuration keeps these codes, and how many
// axes it codes: every whole block of 64 the dimension holds.
bool wanted(const Config& config, metrics::Metric metric, std::size_t dim);
std::size_t axes_for(std::size_t dim);

// Fits the grid to the sample (provable rows of dim values); axes 0 when no
// grid can be made.
Grid fit(const std::vector<const double*>& sample, std::size_t dim, std::size_t axes);

// The codes of x (dim values) into out (grid.axes bytes); out[0] is
// kUncoded when x cannot have any.
void encode(const Grid& grid, const double* x, std::size_t dim, std::int8_t* out);

// The query's codes into out and its error term; false (no bound for this
// query) when it cannot have codes.
bool prepare(const Grid& grid, const double* q, std::size_t dim, std::int8_t* out,
             double& error);

// The value a row's weighted code sum must reach for its computed euclidean
// distance to be proven not below `worst`: +infinity or NaN when nothing
// can be proven.
double threshold(const Grid& grid, double error, double worst);

#if TARSIM_TESTING
// A planted fault: the survivors of the scan with every code gap taken as
// max(0, |k_q - k_x|), one cell more than the cells prove, one code at a
// time.
std::size_t survivors_gap_wide(const Grid& grid, const std::int8_t* query,
                               const std::int8_t* codes, double threshold, std::size_t begin,
                               std::size_t count, std::uint32_t* out);
#endif

}  // namespace tarsim::sketch::axis
