// Codes along the principal axes: every stored vector's coordinates in an
// orthonormal basis fitted to the data, the axes ordered by the spread of
// the data along them, each coordinate rounded to a grid in one byte. A scan
// reads a row's codes a block of 64 axes at a time, the axes of most spread
// first, and gives the row up at the first block whose code gaps prove that
// its distance cannot rank before the worst kept one: for the euclidean
// distance from the gaps between the cells of the two codes, for the inner
// product and the cosine from the product of each cell with the query plus
// a term for the axes not read. The fit, the codes and the thresholds are
// here; axis_codes.cpp proves the euclidean bound and axis_products.cpp the
// others.
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
  metrics::Metric metric = metrics::Metric::Euclidean;
  std::size_t axes = 0;          // coded axes; 0: no codes (see axes_for)
  std::vector<double> basis;     // axes rows of dim values
  std::vector<double> centres;   // one per axis
  std::vector<double> steps;     // one per block
  std::vector<double> weights;   // one per block: the rounded square of its step
  double limit = 0.0;            // rows whose norm bound exceeds it get no codes
  double delta = 0.0;            // error of the computed coordinates per unit of norm
  double scale = 0.0;            // the threshold's factor (see threshold)
  // Inner product and cosine: rows whose norm may be below `floor` get no
  // codes (cosine), the basis is square (axes = dim) and eps bounds its
  // |B B' - I|; gd is g(dim).
  double floor = 0.0;
  double eps = 0.0;
  double gd = 0.0;
#if TARSIM_TESTING
  // A planted fault: the term for the axes not read is left out.
  bool drop_tail = false;
#endif
};

// A query prepared for the codes. Euclidean: its codes and error term.
// Inner product and cosine: per block b its weights (the coordinates
// times the step, in units of units[b]; whole blocks, zero past the last
// axis), and the query's share of the
// threshold after reading blocks 0 .. b, `terms[b]`, with the sum of the
// magnitudes that went into it, `sizes[b]`; and bounds on its norm.
struct Prepared {
  bool usable = false;
  std::vector<std::int8_t> codes;
  double error = 0.0;
  std::vector<std::int16_t> weights;
  std::vector<double> units;
  std::vector<double> terms;
  std::vector<double> sizes;
  double norm_hi = 0.0;
  double norm_lo = 0.0;
};

// Whether a sketch with this configuration keeps these codes. It codes every
// axis (the inner product and the cosine need them all), the last block
// perhaps shorter than 64; blocks_of(axes): the blocks they fill.
bool wanted(const Config& config, std::size_t dim);
inline std::size_t blocks_of(std::size_t axes) { return (axes + kBlock - 1) / kBlock; }

// Fits the grid to the sample (provable rows of dim values); axes 0 when no
// grid can be made.
Grid fit(const std::vector<const double*>& sample, std::size_t dim, std::size_t axes,
         metrics::Metric metric);

// The coordinates of x (dim values, provable) along the grid's axes into
// out (grid.axes values): the dot product of each axis with x, several
// axes at once.
void coordinates(const Grid& grid, const double* x, std::size_t dim, double* out);

// The codes of rows [from, to) of data (dim values each) into codes
// (grid.axes bytes a row, row i at codes + i * grid.axes); a row's first
// code is kUncoded when it cannot have any. Rows are multiplied with the
// basis a batch at a time.
void encode_rows(const Grid& grid, const double* data, std::size_t dim, std::size_t from,
                 std::size_t to, std::int8_t* codes);

// Prepares the query (dim values); out.usable is false (no bound for this
// query) when it cannot have codes.
void prepare(const Grid& grid, const double* q, std::size_t dim, Prepared& out);

// The value a row's weighted code sum must reach, after each block, for its
// computed distance to be proven not to rank before `worst`, into out (one
// per block; euclidean: the same for every block). NaN or +infinity when
// nothing can be proven.
void thresholds(const Grid& grid, const Prepared& query, double worst, double* out);

// The inner product and cosine parts (axis_products.cpp): the grid's
// limits, a row's codes, the query and the thresholds.
void fit_products(const std::vector<const double*>& sample, std::size_t dim, Grid& grid);
// The codes of x, whose coordinates are v; false when it cannot have any.
bool encode_product(const Grid& grid, const double* x, std::size_t dim, const double* v,
                    std::int8_t* out);
void prepare_products(const Grid& grid, const double* q, std::size_t dim, Prepared& out);
void product_thresholds(const Grid& grid, const Prepared& query, double worst, double* out);

#if TARSIM_TESTING
// A planted fault: the survivors of the scan with every code gap taken as
// max(0, |k_q - k_x|), one cell more than the cells prove, one code at a
// time.
std::size_t survivors_gap_wide(const Grid& grid, const std::int8_t* query,
                               const std::int8_t* codes, double threshold,
                               const std::uint32_t* from, std::size_t begin, std::size_t count,
                               std::uint32_t* out);
#endif

}  // namespace tarsim::sketch::axis
