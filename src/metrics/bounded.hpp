// Internal view of the early-abandoning euclidean kernels: each instruction
// set path can be called directly, so tests can hold every one against the
// scalar function whatever path the processor would pick.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/metrics.hpp"
#include "metrics/simd.hpp"

namespace tarsim::metrics {

namespace kernels {

#define TARSIM_DECLARE_BOUNDED(suffix)                                                        \
  void euclidean_rows_bounded_##suffix(Vec query, const double* base, std::size_t dim,        \
                                       const std::uint32_t* ids, std::size_t count,           \
                                       std::size_t listed, double bound, double* out);

TARSIM_DECLARE_BOUNDED(scalar)
TARSIM_DECLARE_BOUNDED(avx2)
TARSIM_DECLARE_BOUNDED(avx512)

#undef TARSIM_DECLARE_BOUNDED

}  // namespace kernels

namespace simd {

// As metrics::euclidean_rows_bounded, on the given path. The path must be
// supported.
void euclidean_rows_bounded(Path path, Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out);

}  // namespace simd

}  // namespace tarsim::metrics
