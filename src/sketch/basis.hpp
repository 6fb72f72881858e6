// The basis of the sketches: a few orthonormal directions fitted to a sample
// of the stored vectors, along which their records are taken.
#pragma once

#include <cstddef>
#include <vector>

#include "sketch/config.hpp"

namespace tarsim::sketch::basis {

// The number of axes for vectors of `dim` values: max_axes, and under the
// size rule (see Config) no more than the record size and a quarter of the
// vector allow; 0 when no basis can be kept.
std::size_t axes_for(const Config& config, std::size_t dim);

// The rows of the fit: provable rows of the first n of `data` (dim values
// each), spread evenly over them.
std::vector<const double*> sample(const double* data, std::size_t n, std::size_t dim);

// A fitted basis: m rows of dim values, and eps >= |B B' - I| (spectral
// norm), proven from the computed Gram matrix.
struct Basis {
  std::vector<double> rows;
  double eps = 0.0;
};

// A proven bound on |B B' - I| (spectral norm) for the m rows of dim values
// in x, as computed.
double orthogonality_error(const std::vector<double>& x, std::size_t m, std::size_t dim);

// Fits m axes of dim values to the sample. False when no basis could be
// made, or its orthogonality not proven to within eps <= 2^-20, which the
// bounds require.
bool fit(const std::vector<const double*>& sample, std::size_t m, std::size_t dim, Basis& out);

}  // namespace tarsim::sketch::basis
