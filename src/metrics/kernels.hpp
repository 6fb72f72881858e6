// Entry points of the multi-vector scoring kernels, one set per instruction
// set. Each is compiled in its own file for its own target and must only be
// called on a processor that supports it (see simd.cpp for the choice).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "metrics/metrics.hpp"

namespace tarsim::metrics::kernels {

#define TARSIM_DECLARE_KERNELS(suffix)                                                      \
  void score_block_##suffix(Metric metric, Vec query, const double* base, std::size_t dim, \
                            std::size_t count, double* out, const double* ahead_end);      \
  void score_rows_##suffix(Metric metric, Vec query, const double* base, std::size_t dim,  \
                           const std::uint32_t* ids, std::size_t count, double* out);

TARSIM_DECLARE_KERNELS(scalar)
TARSIM_DECLARE_KERNELS(avx2)
TARSIM_DECLARE_KERNELS(avx512)

#undef TARSIM_DECLARE_KERNELS

}  // namespace tarsim::metrics::kernels
