// Internal view of the scanning kernels: every instruction-set path can be
// called directly, so tests can hold each one against the scalar functions
// whatever path the processor would pick, and a long scan can be fed to the
// kernels in pieces without losing its read-ahead. The x86 paths exist on
// x86, the NEON path on aarch64; the scalar path everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/metrics.hpp"

namespace tarsim::metrics::simd {

// The paths, one per kernels_<set>.cpp.
enum class Path : std::uint8_t { Scalar, Avx2, Avx512, Neon };

// Whether this processor (and its operating system) can run the path.
bool supported(Path path);
// The path the kernels of metrics.hpp use: the widest supported one. In the
// test build, the environment variable TARSIM_SIMD_PATH (a path's name)
// chooses it instead; a name that is not a supported path stops the program.
Path best();
const char* name(Path path);

// Every kernel of metrics.hpp (kernel_list.hpp), on the given path, which
// must be supported.
#define TARSIM_DECLARE_ON_PATH(ret, name, params, args) \
  ret name(Path path, TARSIM_UNPAREN params);
TARSIM_KERNELS(TARSIM_DECLARE_ON_PATH)
#undef TARSIM_DECLARE_ON_PATH

inline void score_block(Path path, Metric metric, Vec query, const double* base,
                        std::size_t dim, std::size_t count, double* out) {
  score_block(path, metric, query, base, dim, count, out, nullptr);
}

}  // namespace tarsim::metrics::simd
