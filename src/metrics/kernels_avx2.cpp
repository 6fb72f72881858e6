// AVX2 kernels.
#include "metrics/kernels.hpp"

#if TARSIM_X86_KERNELS
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")

#include "metrics/lanes_avx2.hpp"
#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table avx2_table =
    table_of<Avx2Lanes, Tuning{.score_groups = 2, .bounded_groups = 4, .bounded_prefetch = true}>();

}  // namespace tarsim::metrics::kernels

#pragma GCC pop_options
#endif
