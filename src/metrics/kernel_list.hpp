// The scanning kernels, listed once. Each entry
//   X(return type, name, (parameters), (arguments))
// becomes, from this one line:
//   metrics::name(parameters)              on the widest supported path (metrics.hpp)
//   metrics::simd::name(path, parameters)  on a given path (simd.hpp)
//   a member of kernels::Table, which table_of fills with the body's
//   name<Lanes> (kernel_body.hpp)
// A further kernel is its entry here, its template in kernel_body.hpp and
// whatever lane operations it needs; what each one computes is described in
// metrics.hpp. Include through metrics/metrics.hpp, which defines the types.
#pragma once

#define TARSIM_KERNELS(X)                                                                     \
  X(void, score_block,                                                                         \
    (Metric metric, Vec query, const double* base, std::size_t dim, std::size_t count,         \
     double* out, const double* ahead_end),                                                    \
    (metric, query, base, dim, count, out, ahead_end))                                         \
  X(void, score_rows,                                                                          \
    (Metric metric, Vec query, const double* base, std::size_t dim, const std::uint32_t* ids,  \
     std::size_t count, double* out),                                                          \
    (metric, query, base, dim, ids, count, out))                                               \
  X(void, euclidean_rows_bounded,                                                              \
    (Vec query, const double* base, std::size_t dim, const std::uint32_t* ids,                 \
     std::size_t count, std::size_t listed, double bound, double* out),                        \
    (query, base, dim, ids, count, listed, bound, out))                                        \
  X(std::size_t, code_survivors,                                                               \
    (const std::int8_t* query, const std::int8_t* codes, std::size_t stride,                   \
     const std::uint8_t* coded, std::int32_t threshold, const std::uint32_t* ids,              \
     std::size_t count, std::uint32_t* out),                                                   \
    (query, codes, stride, coded, threshold, ids, count, out))                                 \
  X(std::size_t, axis_code_survivors,                                                          \
    (const std::int8_t* query, const std::int8_t* codes, std::size_t stride,                   \
     const double* weights, double threshold, const std::uint32_t* ids, std::size_t begin,     \
     std::size_t count, std::uint32_t* out, std::size_t* blocks_read),                         \
    (query, codes, stride, weights, threshold, ids, begin, count, out, blocks_read))           \
  X(std::size_t, axis_dot_survivors,                                                           \
    (const std::int16_t* weights, const std::int8_t* codes, std::size_t stride,                \
     const double* units, const double* thresholds, const std::uint32_t* ids,                  \
     std::size_t begin, std::size_t count, std::uint32_t* out, std::size_t* blocks_read,       \
     bool whole),                                                                              \
    (weights, codes, stride, units, thresholds, ids, begin, count, out, blocks_read, whole))   \
  X(void, euclidean_record_bounds,                                                             \
    (const double* q, const double* records, std::size_t stride, std::size_t m,                \
     const std::uint32_t* ids, std::size_t count, double margin, double* lb),                  \
    (q, records, stride, m, ids, count, margin, lb))                                           \
  X(double, dot_eightfold, (const double* a, const double* b, std::size_t n), (a, b, n))       \
  X(void, dot_eightfold_rows,                                                                 \
    (const double* rows, std::size_t count, const double* b, std::size_t n, double* out),      \
    (rows, count, b, n, out))                                                                  \
  X(double, magnitude_within, (const double* x, std::size_t n, double limit), (x, n, limit))

// The parameters of an entry without their parentheses.
#define TARSIM_UNPAREN(...) __VA_ARGS__
