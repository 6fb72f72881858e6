// AVX2 lanes: 4 stored vectors per register. Include after <immintrin.h>,
// metrics/kernels.hpp and `#pragma GCC target("avx2")`.
#pragma once

#ifndef _IMMINTRIN_H_INCLUDED
#error "include <immintrin.h> before the target pragma"
#endif

namespace tarsim::metrics::kernels {
namespace {

struct Avx2Lanes {
  using V = __m256d;
  static constexpr std::size_t W = 4;

  static V zero() { return _mm256_setzero_pd(); }
  static V set1(double x) { return _mm256_set1_pd(x); }
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static V load_part(const double* p, std::size_t cnt) {
    // Lane i is loaded when its mask has the top bit set; masked lanes read
    // nothing and come back as zero.
    const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
    const __m256i mask = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(cnt)), lane);
    return _mm256_maskload_pd(p, mask);
  }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static V sqrt(V a) { return _mm256_sqrt_pd(a); }
  // a when a > b, otherwise b (so b when either is NaN).
  static V max(V a, V b) { return _mm256_max_pd(a, b); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }

  static void transpose(V (&t)[W]) {
    const V a0 = _mm256_unpacklo_pd(t[0], t[1]);  // r0c0 r1c0 r0c2 r1c2
    const V a1 = _mm256_unpackhi_pd(t[0], t[1]);  // r0c1 r1c1 r0c3 r1c3
    const V a2 = _mm256_unpacklo_pd(t[2], t[3]);
    const V a3 = _mm256_unpackhi_pd(t[2], t[3]);
    t[0] = _mm256_permute2f128_pd(a0, a2, 0x20);
    t[2] = _mm256_permute2f128_pd(a0, a2, 0x31);
    t[1] = _mm256_permute2f128_pd(a1, a3, 0x20);
    t[3] = _mm256_permute2f128_pd(a1, a3, 0x31);
  }

  // True when no lane is below its limit (a NaN lane counts as not below).
  static bool none_below(V acc, V limit) {
    return _mm256_movemask_pd(_mm256_cmp_pd(acc, limit, _CMP_NLT_UQ)) == 0xF;
  }
};

}  // namespace
}  // namespace tarsim::metrics::kernels
