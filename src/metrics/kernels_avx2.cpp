// AVX2 kernels: 4 stored vectors per register.
#include "metrics/kernels.hpp"

#if TARSIM_X86_KERNELS
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")

namespace tarsim::metrics::kernels {
namespace {

struct Avx2Lanes {
  // The sum over 64 codes of max(0, |q[k] - x[k]| - 1)^2, codes in
  // [-127, 127]. max - min of two such bytes is the gap, 0 to 254, exact as
  // an unsigned byte; less 1 with unsigned saturation it is max(0, gap - 1);
  // widened to 16 bits, pairs of squares (at most 2 * 253^2) add up in
  // 32-bit lanes. The sum is of integers and exact in any order.
  static std::int32_t code_block(const std::int8_t* q, const std::int8_t* x) {
    const __m256i one = _mm256_set1_epi8(1);
    const __m256i zero = _mm256_setzero_si256();
    __m256i acc = zero;
    for (std::size_t h = 0; h < 64; h += 32) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + h));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + h));
      const __m256i gap = _mm256_subs_epu8(
          _mm256_sub_epi8(_mm256_max_epi8(a, b), _mm256_min_epi8(a, b)), one);
      const __m256i lo = _mm256_unpacklo_epi8(gap, zero);
      const __m256i hi = _mm256_unpackhi_epi8(gap, zero);
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(lo, lo));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(hi, hi));
    }
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(s);
  }

  using V = __m256d;
  static constexpr std::size_t W = 4;
  static constexpr bool x86_nans = true;

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
  static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
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
  // True when every lane is at most its limit (a NaN lane is not).
  static bool all_at_most(V a, V limit) {
    return _mm256_movemask_pd(_mm256_cmp_pd(a, limit, _CMP_LE_OQ)) == 0xF;
  }
};

}  // namespace
}  // namespace tarsim::metrics::kernels

#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table avx2_table =
    table_of<Avx2Lanes, Tuning{.score_groups = 2, .bounded_groups = 4, .bounded_prefetch = true}>();

}  // namespace tarsim::metrics::kernels

#pragma GCC pop_options
#endif
