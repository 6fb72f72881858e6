// Scalar lanes: one stored vector per "register". The scalar path of every
// kernel runs on them, and on X86Lanes, the same lanes with x86's NaN rules
// (x86_nans.hpp), a kernel recomputes a NaN result where this processor's
// NaNs are not x86's. Include through metrics/kernels.hpp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "metrics/x86_nans.hpp"

namespace tarsim::metrics::kernels {
namespace {

struct ScalarLanes {
  using V = double;
  static constexpr std::size_t W = 1;
  // Whether a NaN result already has x86's bits.
  static constexpr bool x86_nans = x86::kNative;

  static V zero() { return 0.0; }
  static V set1(double x) { return x; }
  static V load(const double* p) { return *p; }
  static V load_part(const double* p, std::size_t) { return *p; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V sqrt(V a) { return std::sqrt(a); }
  static V abs(V a) { return std::fabs(a); }
  // a when a > b, otherwise b (so b when either is NaN).
  static V max(V a, V b) { return a > b ? a : b; }
  static void store(double* p, V v) { *p = v; }
  static void transpose(V (&)[W]) {}
  // True when no lane is below its limit (a NaN lane counts as not below).
  static bool none_below(V acc, V limit) { return !(acc < limit); }
  // True when every lane is at most its limit (a NaN lane is not).
  static bool all_at_most(V a, V limit) { return a <= limit; }

  // The sum over 64 codes of max(0, |q[k] - x[k]| - 1)^2, codes in
  // [-127, 127].
  static std::int32_t code_block(const std::int8_t* q, const std::int8_t* x) {
    std::int32_t sum = 0;
    for (std::size_t k = 0; k < 64; ++k) {
      const std::int32_t gap = q[k] > x[k] ? q[k] - x[k] : x[k] - q[k];
      const std::int32_t a = gap > 0 ? gap - 1 : 0;
      sum += a * a;
    }
    return sum;
  }
};

// The scalar lanes with the NaN results of x86 on every processor.
struct X86Lanes : ScalarLanes {
  static constexpr bool x86_nans = true;

  static V add(V a, V b) { return x86::add(a, b); }
  static V sub(V a, V b) { return x86::sub(a, b); }
  static V mul(V a, V b) { return x86::mul(a, b); }
  static V div(V a, V b) { return x86::div(a, b); }
  static V sqrt(V a) { return x86::sqrt(a); }
};

}  // namespace
}  // namespace tarsim::metrics::kernels
