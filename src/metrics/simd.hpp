// Internal view of the scanning kernels: every instruction-set path can be
// called directly, so tests can hold each one against the scalar functions
// whatever path the processor would pick, and a long scan can be fed to the
// kernels in pieces without losing its read-ahead. On processors other than
// x86 only the scalar path is supported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/metrics.hpp"

namespace tarsim::metrics::simd {

enum class Path : std::uint8_t { Scalar, Avx2, Avx512 };

// Whether this processor (and its operating system) can run the path.
bool supported(Path path);
// The path score_block and score_rows use: the widest supported one.
Path best();
const char* name(Path path);

// As metrics::score_block / score_rows, on the given path. The path must be
// supported.
void score_block(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out);
// As score_block, for a block that is one piece of a longer scan: the data
// goes on after the block up to `ahead_end` (at or past base + count * dim),
// and the kernel may start fetching it while it scores this block, so the
// next piece does not begin cold.
void score_block(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                 std::size_t count, double* out, const double* ahead_end);
void score_rows(Path path, Metric metric, Vec query, const double* base, std::size_t dim,
                const std::uint32_t* ids, std::size_t count, double* out);
// As metrics::euclidean_rows_bounded, on the given path.
void euclidean_rows_bounded(Path path, Vec query, const double* base, std::size_t dim,
                            const std::uint32_t* ids, std::size_t count, std::size_t listed,
                            double bound, double* out);
// As metrics::code_survivors, on the given path.
std::size_t code_survivors(Path path, const std::int8_t* query, const std::int8_t* codes,
                           std::size_t stride, const std::uint8_t* coded, std::int32_t threshold,
                           const std::uint32_t* ids, std::size_t count, std::uint32_t* out);
// As metrics::euclidean_record_bounds, on the given path.
void euclidean_record_bounds(Path path, const double* q, const double* records,
                             std::size_t stride, std::size_t m, const std::uint32_t* ids,
                             std::size_t count, double margin, double* lb);

}  // namespace tarsim::metrics::simd
