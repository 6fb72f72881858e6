// The scanning kernels, one table of entry points per instruction set.
//
// Layout of the layer:
//   kernel_list.hpp    every kernel's name and signature, once
//   kernel_body.hpp    the block driver and every kernel, written once over a
//                      lanes type
//   scalar_lanes.hpp   the scalar lanes, and those with x86's NaN rules
//   x86_nans.hpp       the NaN results of x86, and why a kernel that
//                      recomputes its NaN results with them gives x86's bits
//   kernels_<set>.cpp  what one instruction set offers (its lanes: load,
//                      arithmetic, transpose, masks, the code block), compiled
//                      with the body into that set's table, with how many
//                      vectors the set keeps in flight
//   metrics.cpp        the paths, one entry each, and the run-time choice of
//                      table (simd.hpp)
// A further instruction set is one kernels_<set>.cpp, a value of
// simd::Path and its entry in the paths of metrics.cpp.
//
// A table must only be used on a processor that supports its set.
//
// This header is the first thing every kernels_<set>.cpp includes, and it
// brings in every standard header the lanes and the body use. Nothing after
// a file's `#pragma GCC target` may reach a standard header: an inline
// function first parsed under the pragma gets a copy in the wider
// instructions, and the linker may pick that copy for every caller, which
// crashes a processor without them. The lanes and the body include nothing
// after the pragma; the build's include check (cmake/check_target_includes.cmake)
// fails when anything after a target pragma includes a system header.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "metrics/metrics.hpp"
#include "metrics/scalar_lanes.hpp"

// The x86 paths exist only when building for x86, the NEON path only when
// building for aarch64; every other processor runs the scalar lanes.
#if defined(__x86_64__) || defined(__i386__)
#define TARSIM_X86_KERNELS 1
#else
#define TARSIM_X86_KERNELS 0
#endif
#if defined(__aarch64__)
#define TARSIM_NEON_KERNELS 1
#else
#define TARSIM_NEON_KERNELS 0
#endif

// Tells the body that the standard headers are in.
#define TARSIM_KERNEL_HEADERS_READY 1

namespace tarsim::metrics::kernels {

// The kernels of kernel_list.hpp for one instruction set.
struct Table {
#define TARSIM_TABLE_MEMBER(ret, name, params, args) ret(*name) params;
  TARSIM_KERNELS(TARSIM_TABLE_MEMBER)
#undef TARSIM_TABLE_MEMBER
};

extern const Table scalar_table;
#if TARSIM_X86_KERNELS
extern const Table avx2_table;
extern const Table avx512_table;
#endif
#if TARSIM_NEON_KERNELS
extern const Table neon_table;
#endif

}  // namespace tarsim::metrics::kernels
