// The scanning kernels, one table of entry points per instruction set.
//
// Layout of the layer:
//   lanes_<set>.hpp    what one instruction set offers: load, arithmetic,
//                      transpose, masks
//   kernel_body.hpp    the block driver and every kernel, written once over a
//                      lanes type
//   kernels_<set>.cpp  compiles the body for one set and fills its table,
//                      with how many vectors that set keeps in flight
//   metrics.cpp        the run-time choice of table (simd.hpp)
//
// A table must only be used on a processor that supports its set.
//
// This header is the first thing every kernels_<set>.cpp includes, and it
// brings in every standard header the lanes and the body use. Nothing after
// a file's `#pragma GCC target` may reach a standard header: an inline
// function first parsed under the pragma gets a copy in the wider
// instructions, and the linker may pick that copy for every caller, which
// crashes a processor without them. The lanes headers and the body include
// nothing; the build's include check (cmake/check_target_includes.cmake)
// fails when anything after a target pragma includes a system header.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "metrics/metrics.hpp"

// The x86 paths exist only when building for x86; every other processor runs
// the scalar lanes.
#if defined(__x86_64__) || defined(__i386__)
#define TARSIM_X86_KERNELS 1
#else
#define TARSIM_X86_KERNELS 0
#endif

// Tells the lanes headers and the body that the standard headers are in.
#define TARSIM_KERNEL_HEADERS_READY 1

namespace tarsim::metrics::kernels {

// As the functions of the same names in metrics.hpp and simd.hpp, for one
// instruction set.
struct Table {
  void (*score_block)(Metric metric, Vec query, const double* base, std::size_t dim,
                      std::size_t count, double* out, const double* ahead_end);
  void (*score_rows)(Metric metric, Vec query, const double* base, std::size_t dim,
                     const std::uint32_t* ids, std::size_t count, double* out);
  void (*euclidean_rows_bounded)(Vec query, const double* base, std::size_t dim,
                                 const std::uint32_t* ids, std::size_t count, std::size_t listed,
                                 double bound, double* out);
  std::size_t (*code_survivors)(const std::int8_t* query, const std::int8_t* codes,
                                std::size_t stride, const std::uint8_t* coded,
                                std::int32_t threshold, const std::uint32_t* ids,
                                std::size_t count, std::uint32_t* out);
  void (*euclidean_record_bounds)(const double* q, const double* records, std::size_t stride,
                                  std::size_t m, const std::uint32_t* ids, std::size_t count,
                                  double margin, double* lb);
};

extern const Table scalar_table;
#if TARSIM_X86_KERNELS
extern const Table avx2_table;
extern const Table avx512_table;
#endif

}  // namespace tarsim::metrics::kernels
