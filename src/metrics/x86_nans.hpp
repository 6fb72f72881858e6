// The bits of a NaN result, made the same on every processor: those an x86-64
// processor gives.
//
// What the processors do. An addition, subtraction, multiplication, division
// or square root of doubles (round to nearest, no flushing of subnormals on
// either processor) has the same IEEE result everywhere when that result is a
// number, and whether it is NaN is decided by IEEE alike. Only the bits of a
// NaN result differ:
//   x86 (SSE, AVX): the first source operand if it is NaN, else the second,
//     quieted (bit 51 set), signalling or not alike; no NaN operand (inf -
//     inf, 0 * inf, 0 / 0, sqrt(-1)): the "indefinite" 0xFFF8000000000000.
//   aarch64 (FPCR.DN clear, as Linux leaves it): a signalling NaN operand
//     before a quiet one, then the first before the second, quieted; no NaN
//     operand: the default NaN 0x7FF8000000000000, with the sign clear.
// So a NaN that an invalid operation makes has another sign on aarch64, and
// where a quiet NaN meets a signalling one the two processors pick different
// operands.
//
// Which bits x86 gives. Which operand of a commutative addition or
// multiplication is the first is the compiler's choice, on x86 as anywhere,
// so x86's own paths differ where two NaNs of different bits (once quieted)
// meet in one operation. Where they never do, every x86 path gives the same
// bits, and those are the bits to give; elsewhere there are none to match.
//
// The rules of x86 as arithmetic (add etc. below): the native result when it
// is a number, otherwise the NaN x86 returns, the first operand as written
// before the second.
//
// The fix-up, and why it is exact. A kernel computes natively, then replaces
// each result that is NaN by the same chain of operations computed with
// these rules. Take a chain of operations of the list above and selections
// (a > b ? a : b, |a|, loads and stores, which move bits). By induction over
// the chain, every value of the native run, of the run with the rules and of
// x86's run is NaN in all or in none, and when a number, the same number: an
// operation's number result and its NaN-ness depend only on its operands'
// numbers and NaN-ness, a comparison only on numbers and NaN-ness. So a
// result that is a number is already x86's, bit for bit. A NaN result is
// recomputed with the rules. Where no two NaNs of different quieted bits
// meet on x86, each step of the rules returns what x86 returns for the same
// operands in either order (one NaN operand: it, quieted; two: the same
// quieted bits; none: the indefinite), so by induction the recomputed value
// is x86's value. The cost is one test per result; a result is recomputed
// only when it is NaN.
//
// The cheaper rewrite "a result with exactly the default-NaN bits becomes the
// indefinite when no input held those bits" is only right when the inputs
// looked at are exactly those the result depends on: a quiet NaN of
// 0x7FF8000000000000 (numpy's and Python's NaN) in a row's positions past the
// query, in another row of the block or in the query past the row keeps the
// rewrite from an indefinite that x86 does give. Each kernel would need its
// own bookkeeping of positions; the recomputation needs none.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace tarsim::metrics::x86 {

// Whether this processor's own NaN results already are x86's.
#if defined(__x86_64__) || defined(__i386__)
inline constexpr bool kNative = true;
#else
inline constexpr bool kNative = false;
#endif

// The NaN of an invalid operation on x86.
inline constexpr std::uint64_t kIndefinite = 0xFFF8000000000000ULL;

// x86's NaN for an operation on a and b (b may be a number); r is the native
// result, returned when it is a number.
inline double nan_of(double r, double a, double b) {
  if (!std::isnan(r)) return r;
  constexpr std::uint64_t quiet = std::uint64_t{1} << 51;
  if (std::isnan(a)) return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | quiet);
  if (std::isnan(b)) return std::bit_cast<double>(std::bit_cast<std::uint64_t>(b) | quiet);
  return std::bit_cast<double>(kIndefinite);
}

inline double add(double a, double b) { return nan_of(a + b, a, b); }
inline double sub(double a, double b) { return nan_of(a - b, a, b); }
inline double mul(double a, double b) { return nan_of(a * b, a, b); }
inline double div(double a, double b) { return nan_of(a / b, a, b); }
inline double sqrt(double a) { return nan_of(std::sqrt(a), a, 0.0); }

}  // namespace tarsim::metrics::x86
