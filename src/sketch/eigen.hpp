// The eigenvectors of a symmetric matrix, for the principal axes of the
// codes. Nothing here needs to be exact: the bounds hold for whatever
// nearly orthonormal rows come out, and their orthogonality is proven
// afterwards from the rows as computed (basis.hpp).
#pragma once

#include <cstddef>
#include <vector>

namespace tarsim::sketch::eigen {

// The eigenvectors of the symmetric n x n matrix a (row-major; destroyed),
// as the rows of `vectors` (n x n), ordered by eigenvalue from the largest.
// False when the iteration did not converge or a value is not finite.
bool symmetric(std::vector<double>& a, std::size_t n, std::vector<double>& vectors);

}  // namespace tarsim::sketch::eigen
