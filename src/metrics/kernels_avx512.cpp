// AVX-512F kernels: 8 stored vectors per register; the codes use AVX-512BW.

// GCC 12 reports its own _mm512_undefined_pd() inside the intrinsics header as
// uninitialised once the intrinsics are inlined; the value is never read.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "metrics/kernels.hpp"

#if TARSIM_X86_KERNELS
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")

namespace tarsim::metrics::kernels {
namespace {

struct Avx512Lanes {
  // As Avx2Lanes::code_block, the 64 codes in one register.
  static std::int32_t code_block(const std::int8_t* q, const std::int8_t* x) {
    const __m512i a = _mm512_loadu_si512(q);
    const __m512i b = _mm512_loadu_si512(x);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i gap =
        _mm512_subs_epu8(_mm512_sub_epi8(_mm512_max_epi8(a, b), _mm512_min_epi8(a, b)),
                         _mm512_set1_epi8(1));
    const __m512i lo = _mm512_unpacklo_epi8(gap, zero);
    const __m512i hi = _mm512_unpackhi_epi8(gap, zero);
    return _mm512_reduce_add_epi32(
        _mm512_add_epi32(_mm512_madd_epi16(lo, lo), _mm512_madd_epi16(hi, hi)));
  }

  using V = __m512d;
  static constexpr std::size_t W = 8;
  static constexpr bool x86_nans = true;

  static V zero() { return _mm512_setzero_pd(); }
  static V set1(double x) { return _mm512_set1_pd(x); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static V load_part(const double* p, std::size_t cnt) {
    return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << cnt) - 1u), p);
  }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V div(V a, V b) { return _mm512_div_pd(a, b); }
  static V sqrt(V a) { return _mm512_sqrt_pd(a); }
  static V abs(V a) { return _mm512_abs_pd(a); }
  // a when a > b, otherwise b (so b when either is NaN).
  static V max(V a, V b) { return _mm512_max_pd(a, b); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }

  // 8 x 8 transpose in three rounds of shuffles: pairs of rows, then
  // 128-bit lanes, then 256-bit halves.
  static void transpose(V (&t)[W]) {
    const V a0 = _mm512_unpacklo_pd(t[0], t[1]);  // r0c0 r1c0 r0c2 r1c2 ...
    const V a1 = _mm512_unpackhi_pd(t[0], t[1]);  // r0c1 r1c1 r0c3 r1c3 ...
    const V a2 = _mm512_unpacklo_pd(t[2], t[3]);
    const V a3 = _mm512_unpackhi_pd(t[2], t[3]);
    const V a4 = _mm512_unpacklo_pd(t[4], t[5]);
    const V a5 = _mm512_unpackhi_pd(t[4], t[5]);
    const V a6 = _mm512_unpacklo_pd(t[6], t[7]);
    const V a7 = _mm512_unpackhi_pd(t[6], t[7]);
    constexpr int even = _MM_SHUFFLE(2, 0, 2, 0);
    constexpr int odd = _MM_SHUFFLE(3, 1, 3, 1);
    const V b0 = _mm512_shuffle_f64x2(a0, a2, even);  // c0,c4 of rows 0-3
    const V b1 = _mm512_shuffle_f64x2(a0, a2, odd);   // c2,c6
    const V b2 = _mm512_shuffle_f64x2(a1, a3, even);  // c1,c5
    const V b3 = _mm512_shuffle_f64x2(a1, a3, odd);   // c3,c7
    const V b4 = _mm512_shuffle_f64x2(a4, a6, even);  // same for rows 4-7
    const V b5 = _mm512_shuffle_f64x2(a4, a6, odd);
    const V b6 = _mm512_shuffle_f64x2(a5, a7, even);
    const V b7 = _mm512_shuffle_f64x2(a5, a7, odd);
    t[0] = _mm512_shuffle_f64x2(b0, b4, even);
    t[4] = _mm512_shuffle_f64x2(b0, b4, odd);
    t[2] = _mm512_shuffle_f64x2(b1, b5, even);
    t[6] = _mm512_shuffle_f64x2(b1, b5, odd);
    t[1] = _mm512_shuffle_f64x2(b2, b6, even);
    t[5] = _mm512_shuffle_f64x2(b2, b6, odd);
    t[3] = _mm512_shuffle_f64x2(b3, b7, even);
    t[7] = _mm512_shuffle_f64x2(b3, b7, odd);
  }

  // True when no lane is below its limit (a NaN lane counts as not below).
  static bool none_below(V acc, V limit) {
    return _mm512_cmp_pd_mask(acc, limit, _CMP_NLT_UQ) == 0xFF;
  }
  // True when every lane is at most its limit (a NaN lane is not).
  static bool all_at_most(V a, V limit) {
    return _mm512_cmp_pd_mask(a, limit, _CMP_LE_OQ) == 0xFF;
  }
};

}  // namespace
}  // namespace tarsim::metrics::kernels

#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table avx512_table =
    table_of<Avx512Lanes, Tuning{.score_groups = 2, .bounded_groups = 2, .bounded_prefetch = true}>();

}  // namespace tarsim::metrics::kernels

#pragma GCC pop_options
#endif
