// AVX-512F kernels (AVX-512BW for the codes).

// GCC 12 reports its own _mm512_undefined_pd() inside the intrinsics header as
// uninitialised once the intrinsics are inlined; the value is never read.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "metrics/kernels.hpp"

#if TARSIM_X86_KERNELS
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")

#include "metrics/lanes_avx512.hpp"
#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table avx512_table =
    table_of<Avx512Lanes, Tuning{.score_groups = 2, .bounded_groups = 2, .bounded_prefetch = true}>();

}  // namespace tarsim::metrics::kernels

#pragma GCC pop_options
#endif
