// The early-abandoning euclidean loop, written once for every instruction
// set. Include it after the file has selected its target, then call
// euclidean_bounded<I, G> with a lane type I that provides:
//   V, W                  vector type and its number of double lanes
//   zero, set1, load, load_part(p, cnt), add, sub, mul, sqrt, store
//   given_up(acc, limit)  true when no lane of acc is below limit (a NaN
//                         lane counts as not below)
//   transpose(V (&t)[W])  rows of a W x W tile become its columns
//   prefetch(p)           hint that p will be read soon
//
// Lane r of a group holds one stored vector and sums its squared differences
// with the query in position order, exactly as the scalar function does: a
// tile of W positions of W vectors is transposed so that column c holds
// position j + c of every vector, and the columns are added one after the
// other. G groups run side by side in lockstep, as a block; a group stops
// as soon as every one of its lanes is past the bound. (Packing the rows
// that go on into new groups does less arithmetic but reads rows in pieces,
// which measured slower: the scan is bound by memory, not by arithmetic.)
//
// Why giving up is safe. Every term d * d is a rounded square, so it is
// +0.0, positive, +infinity or NaN. Adding a term t >= 0 to a partial sum
// s >= 0 gives round(s + t) >= s, because s + t >= s exactly and rounding to
// nearest is monotone with s itself representable. So the running sum never
// decreases, and a NaN, once in, stays: the final sum S is NaN or S >= every
// partial sum P. The distance is the correctly rounded sqrt(S), and the
// rounded square root is monotone as well. Hence if P >= bound, where the
// caller picked bound so that sqrt(bound) >= limit (see euclidean_bound),
// then distance >= sqrt(bound) >= limit, or the distance is NaN. Either way
// "distance < limit" is false, which is all a caller that gives a vector up
// may rely on. Nothing is given up on a guess: the test looks at the very
// partial sum that the complete chain continues from.
//
// Everything here has internal linkage so that the per-target copies of the
// different files never meet at link time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tarsim::metrics::kernels {
namespace {

// Positions summed between two tests of the partial sums.
constexpr std::size_t kTestEvery = 8;

// Scores one block of G * W rows (rows[g * W + r] is lane r of group g) and
// requests the lines of the next block's rows (or of none, when next is
// null), one per row and tile read, so that data streams in ahead of use.
// Every kTestEvery positions a group with no lane below `limit` stops (its
// rows give +inf), and the block ends when all have.
template <class I, std::size_t G>
inline void bounded_block(const double* q, std::size_t n, const double* const* rows,
                          const double* const* next, typename I::V limit, double* out) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;
  V acc[G];
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) acc[g] = I::zero();
  unsigned live = (1u << G) - 1;  // groups not given up
  auto tile = [&](std::size_t at, std::size_t cnt) __attribute__((always_inline)) {
    V qb[W];
#pragma GCC unroll 16
    for (std::size_t c = 0; c < W; ++c) qb[c] = c < cnt ? I::set1(q[at + c]) : I::zero();
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) {
      if (!(live & (1u << g))) continue;
      V t[W];
      if (cnt == W) {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) t[r] = I::load(rows[g * W + r] + at);
      } else {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) t[r] = I::load_part(rows[g * W + r] + at, cnt);
      }
      I::transpose(t);
#pragma GCC unroll 16
      for (std::size_t c = 0; c < W; ++c) {
        if (c >= cnt) break;
        const V d = I::sub(qb[c], t[c]);
        acc[g] = I::add(acc[g], I::mul(d, d));
      }
    }
  };

  std::size_t j = 0;
  while (j + W <= n) {
    if (next != nullptr && j % 8 == 0) {
      for (std::size_t r = 0; r < G * W; ++r) I::prefetch(next[r] + j);
    }
    tile(j, W);
    j += W;
    if (j % kTestEvery == 0 && j < n) {
#pragma GCC unroll 16
      for (std::size_t g = 0; g < G; ++g) {
        if ((live & (1u << g)) && I::given_up(acc[g], limit)) live &= ~(1u << g);
      }
      if (live == 0) {
        // The next block has only been requested up to here; ask for a
        // little more in case it goes on.
        if (next != nullptr) {
          for (std::size_t r = 0; r < G * W; ++r) {
            I::prefetch(next[r] + j);
            I::prefetch(next[r] + j + 8);
          }
        }
        for (std::size_t k = 0; k < G * W; ++k) out[k] = std::numeric_limits<double>::infinity();
        return;
      }
    }
  }
  if (j < n) tile(j, n - j);
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    if (live & (1u << g)) {
      I::store(out + g * W, I::sqrt(acc[g]));
    } else {
      for (std::size_t r = 0; r < W; ++r) out[g * W + r] = std::numeric_limits<double>::infinity();
    }
  }
}

// Scores rows ids[0 .. count); ids[count .. ahead) are the rows the caller
// scores next, whose first lines are requested while the last block runs.
template <class I, std::size_t G>
inline void euclidean_bounded(const double* q, std::size_t n, const double* base,
                              std::size_t dim, const std::uint32_t* ids, std::size_t count,
                              std::size_t ahead, double bound, double* out) {
  constexpr std::size_t W = I::W;
  constexpr std::size_t L = G * W;
  const typename I::V limit = I::set1(bound);
  auto row_at = [base, dim, ids](std::size_t i) { return base + std::size_t{ids[i]} * dim; };
  const double* rows[2][L];
  int cur = 0;
  std::size_t i = 0;
  if (count >= L) {
    for (std::size_t r = 0; r < L; ++r) rows[cur][r] = row_at(r);
    for (; i + L <= count; i += L) {
      // The block after this one, inside this call or among the next rows.
      const bool more = i + 2 * L <= std::max(count, ahead);
      if (more) {
        for (std::size_t r = 0; r < L; ++r) rows[cur ^ 1][r] = row_at(i + L + r);
      }
      bounded_block<I, G>(q, n, rows[cur], more ? rows[cur ^ 1] : nullptr, limit, out + i);
      cur ^= 1;
    }
  }
  // Fewer than G * W rows left: one group at a time. Lanes past the end
  // repeat the last row and their results are dropped.
  for (; i < count; i += W) {
    const std::size_t lanes = std::min(W, count - i);
    const double* part[W];
    for (std::size_t r = 0; r < W; ++r) part[r] = row_at(i + std::min(r, lanes - 1));
    double tmp[W];
    bounded_block<I, 1>(q, n, part, nullptr, limit, tmp);
    for (std::size_t r = 0; r < lanes; ++r) out[i + r] = tmp[r];
  }
}

}  // namespace
}  // namespace tarsim::metrics::kernels
