// NEON kernels (aarch64 Advanced SIMD): 2 stored vectors per register.
// Separate multiplies and adds only, never a fused multiply-add. The NaN
// results of this processor are not x86's: the body recomputes them
// (x86_nans.hpp).
#include "metrics/kernels.hpp"

#if TARSIM_NEON_KERNELS
#include <arm_neon.h>

namespace tarsim::metrics::kernels {
namespace {

struct NeonLanes {
  using V = float64x2_t;
  static constexpr std::size_t W = 2;
  static constexpr bool x86_nans = false;

  static V zero() { return vdupq_n_f64(0.0); }
  static V set1(double x) { return vdupq_n_f64(x); }
  static V load(const double* p) { return vld1q_f64(p); }
  // cnt is 1 here: the first lane from memory, the second zero and unread.
  static V load_part(const double* p, std::size_t) { return vld1q_lane_f64(p, zero(), 0); }
  static V add(V a, V b) { return vaddq_f64(a, b); }
  static V sub(V a, V b) { return vsubq_f64(a, b); }
  static V mul(V a, V b) { return vmulq_f64(a, b); }
  static V div(V a, V b) { return vdivq_f64(a, b); }
  static V sqrt(V a) { return vsqrtq_f64(a); }
  static V abs(V a) { return vabsq_f64(a); }
  // a when a > b, otherwise b (so b when either is NaN). Not vmaxq_f64,
  // which returns a NaN operand.
  static V max(V a, V b) { return vbslq_f64(vcgtq_f64(a, b), a, b); }
  static void store(double* p, V v) { vst1q_f64(p, v); }

  static void transpose(V (&t)[W]) {
    const V c0 = vzip1q_f64(t[0], t[1]);  // r0c0 r1c0
    const V c1 = vzip2q_f64(t[0], t[1]);  // r0c1 r1c1
    t[0] = c0;
    t[1] = c1;
  }

  // True when no lane is below its limit (a NaN lane counts as not below).
  static bool none_below(V acc, V limit) {
    return vmaxvq_u32(vreinterpretq_u32_u64(vcltq_f64(acc, limit))) == 0;
  }
  // True when every lane is at most its limit (a NaN lane is not).
  static bool all_at_most(V a, V limit) {
    return vminvq_u32(vreinterpretq_u32_u64(vcleq_f64(a, limit))) == 0xFFFFFFFFu;
  }

  // As ScalarLanes::code_block. The absolute difference of two codes in
  // [-127, 127] is 0 to 254, exact as an unsigned byte; less 1 with unsigned
  // saturation it is max(0, gap - 1); its square (at most 253^2) is exact in
  // 16 bits, and pairs of squares add up in 32-bit lanes. The sum is of
  // integers and exact in any order.
  static std::int32_t code_block(const std::int8_t* q, const std::int8_t* x) {
    const uint8x16_t one = vdupq_n_u8(1);
    uint32x4_t acc = vdupq_n_u32(0);
    for (std::size_t h = 0; h < 64; h += 16) {
      const uint8x16_t gap =
          vqsubq_u8(vreinterpretq_u8_s8(vabdq_s8(vld1q_s8(q + h), vld1q_s8(x + h))), one);
      acc = vpadalq_u16(acc, vmull_u8(vget_low_u8(gap), vget_low_u8(gap)));
      acc = vpadalq_u16(acc, vmull_high_u8(gap, gap));
    }
    return static_cast<std::int32_t>(vaddvq_u32(acc));
  }
};

}  // namespace
}  // namespace tarsim::metrics::kernels

#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table neon_table =
    table_of<NeonLanes, Tuning{.score_groups = 4, .bounded_groups = 4, .bounded_prefetch = true}>();

}  // namespace tarsim::metrics::kernels
#endif
