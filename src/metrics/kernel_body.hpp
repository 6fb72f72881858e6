// The multi-vector scoring loop, written once for every instruction set.
//
// Include this after kernels.hpp and after the file has selected its target
// (#pragma GCC target), then call block_with<I> / rows_with<I> with a lane
// type I that provides:
//   V, W               vector type and its number of double lanes
//   G                  groups of W stored vectors kept in flight at once
//   zero, set1, load, load_part(p, cnt), add, sub, mul, div, sqrt, store
//   transpose(V (&t)[W])  rows of a W x W tile become its columns
//   prefetches         whether to issue prefetch hints at all
//   ahead_bytes        how far ahead of the batch contiguous data is requested
//   prefetch(p)        hint that p will be read soon
//
// Lane r of a group holds stored vector r of that group and nothing else. A
// tile of W positions of the W vectors is loaded row by row and transposed, so
// column c holds position j + c of every vector; the columns are then added
// to the per-lane accumulators in position order. Each lane therefore performs
// exactly the operations of the scalar function, in the same order: the
// speed comes from running W * G independent sums side by side, never from
// changing one. No fused multiply-add is ever formed (the build disables
// contraction and the intrinsics used are separate multiply and add).
//
// Everything here has internal linkage so that the per-target copies of the
// different files never meet at link time.
#pragma once

namespace tarsim::metrics::kernels {
namespace {

// Sequential sum of squares of a whole vector: the query norm of the cosine.
inline double sum_of_squares(Vec v) {
  double sum = 0.0;
  for (double x : v) sum = sum + x * x;
  return sum;
}

// What to fetch ahead while a batch is scored. The data of the batches that
// follow is requested a little at a time, one share per tile, so that it is
// on its way long before it is read.
struct Ahead {
  // Contiguous data: `per_tile` cache lines from `from`, never at or past `end`.
  const char* from = nullptr;
  const char* end = nullptr;
  std::size_t per_tile = 0;
  // Rows gathered by id: line j of each of these rows at tile j.
  const double* const* rows = nullptr;
  std::size_t count = 0;
};

// Scores G * W stored vectors (rows[0 .. G*W)) against the query.
//   n      positions compared (min of query length and dim)
//   sqrt_a square root of the query's sum of squares (cosine only)
template <class I, Metric M, std::size_t G>
inline void score_groups(const double* q, std::size_t n, std::size_t dim, double sqrt_a,
                         const double* const* rows, Ahead ahead, double* out) {
  using V = typename I::V;
  constexpr std::size_t W = I::W;

  V acc[G];
  V nrm[G];  // cosine: the stored vector's own sum of squares
#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    acc[g] = I::zero();
    nrm[g] = I::zero();
  }

  // One tile of `cnt` positions starting at j; `both` says whether the query
  // takes part (positions < n) or only the stored norm does (cosine, n..dim).
  auto tile = [&](std::size_t j, std::size_t cnt, bool both) __attribute__((always_inline)) {
    V qb[W];
    if (both) {
#pragma GCC unroll 16
      for (std::size_t c = 0; c < W; ++c) qb[c] = c < cnt ? I::set1(q[j + c]) : I::zero();
    }
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) {
      V t[W];
      if (cnt == W) {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) t[r] = I::load(rows[g * W + r] + j);
      } else {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) t[r] = I::load_part(rows[g * W + r] + j, cnt);
      }
      I::transpose(t);
#pragma GCC unroll 16
      for (std::size_t c = 0; c < W; ++c) {
        if (c >= cnt) break;
        if (!both) {
          nrm[g] = I::add(nrm[g], I::mul(t[c], t[c]));
        } else if constexpr (M == Metric::Euclidean) {
          V d = I::sub(qb[c], t[c]);
          acc[g] = I::add(acc[g], I::mul(d, d));
        } else if constexpr (M == Metric::InnerProduct) {
          acc[g] = I::add(acc[g], I::mul(qb[c], t[c]));
        } else {
          acc[g] = I::add(acc[g], I::mul(qb[c], t[c]));
          nrm[g] = I::add(nrm[g], I::mul(t[c], t[c]));
        }
      }
    }
  };

  std::size_t j = 0;
  for (; j + W <= n; j += W) {
    if constexpr (I::prefetches) {
      for (std::size_t l = 0; l < ahead.per_tile && ahead.from < ahead.end; ++l) {
        I::prefetch(ahead.from);
        ahead.from += 64;
      }
      if (j % 8 == 0) {
        for (std::size_t r = 0; r < ahead.count; ++r) I::prefetch(ahead.rows[r] + j);
      }
    }
    tile(j, W, true);
  }
  if (j < n) tile(j, n - j, true);

  if constexpr (M == Metric::Cosine) {
    // The stored vector is longer than the query: its norm goes on alone.
    j = n;
    for (; j + W <= dim; j += W) tile(j, W, false);
    if (j < dim) tile(j, dim - j, false);
  }

#pragma GCC unroll 16
  for (std::size_t g = 0; g < G; ++g) {
    V result;
    if constexpr (M == Metric::Euclidean) {
      result = I::sqrt(acc[g]);
    } else if constexpr (M == Metric::InnerProduct) {
      result = acc[g];
    } else {
      result = I::div(acc[g], I::mul(I::set1(sqrt_a), I::sqrt(nrm[g])));
    }
    I::store(out + g * W, result);
  }
}

// Scores `count` stored vectors: vector i starts at base + i * dim when ids is
// null (contiguous), at base + ids[i] * dim otherwise. Contiguous data may be
// fetched ahead up to ahead_end.
template <class I, Metric M>
inline void score_all(Vec query, const double* base, std::size_t dim, const std::uint32_t* ids,
                      std::size_t count, double* out, const double* ahead_end) {
  constexpr std::size_t W = I::W;
  constexpr std::size_t G = I::G;
  constexpr std::size_t L = G * W;
  if (count == 0) return;
  auto row_at = [base, dim, ids](std::size_t i) {
    return base + (ids ? std::size_t{ids[i]} : i) * dim;
  };

  const double* q = query.data();
  const std::size_t n = std::min(query.size(), dim);
  double sqrt_a = 0.0;
  if constexpr (M == Metric::Cosine) sqrt_a = std::sqrt(sum_of_squares(query));

  std::size_t i = 0;
  if (count >= L) {
    const double* rows[2][L];
    int cur = 0;
    for (std::size_t r = 0; r < L; ++r) rows[cur][r] = row_at(r);
    Ahead ahead;
    std::size_t tiles = n / W;
    if (ids == nullptr && tiles > 0) {
      // Contiguous data is requested in address order, ahead_bytes past the
      // batch being scored, one batch worth of lines over its tiles.
      const std::size_t lines = (L * dim * sizeof(double) + 63) / 64;
      ahead.per_tile = (lines + tiles - 1) / tiles;
      ahead.end = reinterpret_cast<const char*>(ahead_end);
    }
    for (; i + L <= count; i += L) {
      if (ids == nullptr) {
        if (ahead.per_tile > 0) {
          const char* from = reinterpret_cast<const char*>(base + i * dim);
          const std::size_t left = static_cast<std::size_t>(ahead.end - from);
          ahead.from = left > I::ahead_bytes ? from + I::ahead_bytes : ahead.end;
        }
      } else {
        // Gathered rows: the next batch's rows, a line of each per line read.
        const bool more = i + 2 * L <= count;
        if (more) {
          for (std::size_t r = 0; r < L; ++r) rows[cur ^ 1][r] = row_at(i + L + r);
        }
        ahead.rows = rows[cur ^ 1];
        ahead.count = more ? L : 0;
      }
      if (ids == nullptr) {
        for (std::size_t r = 0; r < L; ++r) rows[cur][r] = row_at(i + r);
      }
      score_groups<I, M, G>(q, n, dim, sqrt_a, rows[cur], ahead, out + i);
      if (ids != nullptr) cur ^= 1;
    }
  }
  // Fewer than W * G vectors left: one group at a time. Lanes past the end
  // repeat the last vector and their results are dropped.
  for (; i < count; i += W) {
    const std::size_t lanes = std::min(W, count - i);
    const double* part[W];
    for (std::size_t r = 0; r < W; ++r) part[r] = row_at(i + std::min(r, lanes - 1));
    double tmp[W];
    score_groups<I, M, 1>(q, n, dim, sqrt_a, part, Ahead{}, tmp);
    for (std::size_t r = 0; r < lanes; ++r) out[i + r] = tmp[r];
  }
}

template <class I>
inline void score_any(Metric metric, Vec query, const double* base, std::size_t dim,
                      const std::uint32_t* ids, std::size_t count, double* out,
                      const double* ahead_end = nullptr) {
  switch (metric) {
    case Metric::Euclidean:
      score_all<I, Metric::Euclidean>(query, base, dim, ids, count, out, ahead_end);
      return;
    case Metric::InnerProduct:
      score_all<I, Metric::InnerProduct>(query, base, dim, ids, count, out, ahead_end);
      return;
    case Metric::Cosine:
      score_all<I, Metric::Cosine>(query, base, dim, ids, count, out, ahead_end);
      return;
  }
}

template <class I>
inline void block_with(Metric metric, Vec query, const double* base, std::size_t dim,
                       std::size_t count, double* out, const double* ahead_end) {
  if (count == 0) return;
  const double* end = base + count * dim;
  score_any<I>(metric, query, base, dim, nullptr, count, out,
               ahead_end != nullptr && ahead_end > end ? ahead_end : end);
}

// ids must not be null here (a null array with count 0 scores nothing).
template <class I>
inline void rows_with(Metric metric, Vec query, const double* base, std::size_t dim,
                      const std::uint32_t* ids, std::size_t count, double* out) {
  if (count == 0) return;
  score_any<I>(metric, query, base, dim, ids, count, out);
}

}  // namespace
}  // namespace tarsim::metrics::kernels
