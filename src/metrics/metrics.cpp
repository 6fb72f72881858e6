// The three metric functions, the bound of the early-abandoning kernels and
// the choice of kernel table for this processor.
#include "metrics/metrics.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace tarsim::metrics {
namespace {

// The metric functions over an arithmetic S: the scalar lanes, or the same
// with x86's NaN rules (scalar_lanes.hpp).
template <class S>
double euclidean(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = S::sub(first[i], second[i]);
    sum = S::add(sum, S::mul(d, d));
  }
  return S::sqrt(sum);
}

template <class S>
double dot(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum = S::add(sum, S::mul(first[i], second[i]));
  return sum;
}

template <class S>
double cosine(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double dot = 0.0;
  for (std::size_t i = 0; i < n; ++i) dot = S::add(dot, S::mul(first[i], second[i]));
  double a = 0.0;
  for (double x : first) a = S::add(a, S::mul(x, x));
  double b = 0.0;
  for (double x : second) b = S::add(b, S::mul(x, x));
  return S::div(dot, S::mul(S::sqrt(a), S::sqrt(b)));
}

}  // namespace

// Each value with the scalar lanes, recomputed with x86's rules when it is a
// NaN that may not have x86's bits (x86_nans.hpp proves the result x86's).
double euclidean_distance(Vec first, Vec second) {
  const double value = euclidean<kernels::ScalarLanes>(first, second);
  if (x86::kNative || !std::isnan(value)) return value;
  return euclidean<kernels::X86Lanes>(first, second);
}

double dot_product(Vec first, Vec second) {
  const double value = dot<kernels::ScalarLanes>(first, second);
  if (x86::kNative || !std::isnan(value)) return value;
  return dot<kernels::X86Lanes>(first, second);
}

double cosine_similarity(Vec first, Vec second) {
  const double value = cosine<kernels::ScalarLanes>(first, second);
  if (x86::kNative || !std::isnan(value)) return value;
  return cosine<kernels::X86Lanes>(first, second);
}

DistanceFn function_of(Metric metric) {
  switch (metric) {
    case Metric::InnerProduct:
      return &dot_product;
    case Metric::Cosine:
      return &cosine_similarity;
    case Metric::Euclidean:
      break;
  }
  return &euclidean_distance;
}

double euclidean_bound(double limit) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (std::isnan(limit)) return limit;
  // Every root is >= +0.0, so a limit of zero or below admits nothing.
  if (!(limit > 0.0)) return 0.0;
  if (limit == inf) return inf;
  // The rounded square of the limit is within an ulp or so of the answer;
  // step up until its root reaches the limit, then down while the value
  // below still does. sqrt(+inf) = +inf reaches any limit, so +inf is the
  // answer of last resort and always sound.
  double s = limit * limit;
  for (int i = 0; i < 8 && std::sqrt(s) < limit; ++i) s = std::nextafter(s, inf);
  if (std::sqrt(s) < limit) return inf;
  for (int i = 0; i < 8; ++i) {
    const double below = std::nextafter(s, 0.0);
    if (std::sqrt(below) < limit) break;
    s = below;
    if (s == 0.0) break;
  }
  return s;
}

namespace simd {
namespace {

#if TARSIM_X86_KERNELS
bool avx512_runs() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}
bool avx2_runs() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#define TARSIM_X86_PATH(check, table) check, &kernels::table
#else
#define TARSIM_X86_PATH(check, table) nullptr, nullptr
#endif

#if TARSIM_NEON_KERNELS
bool neon_runs() { return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0; }
#define TARSIM_NEON_PATH(check, table) check, &kernels::table
#else
#define TARSIM_NEON_PATH(check, table) nullptr, nullptr
#endif

// The paths, widest first: one entry each. A path without a table is not
// built for this processor; one without a check runs everywhere.
struct Entry {
  Path path;
  const char* name;
  bool (*runs)();
  const kernels::Table* table;
};
const Entry kPaths[] = {
    {Path::Avx512, "avx512", TARSIM_X86_PATH(avx512_runs, avx512_table)},
    {Path::Avx2, "avx2", TARSIM_X86_PATH(avx2_runs, avx2_table)},
    {Path::Neon, "neon", TARSIM_NEON_PATH(neon_runs, neon_table)},
    {Path::Scalar, "scalar", nullptr, &kernels::scalar_table},
};
#undef TARSIM_X86_PATH
#undef TARSIM_NEON_PATH

const Entry& entry(Path path) {
  for (const Entry& e : kPaths) {
    if (e.path == path) return e;
  }
  return kPaths[std::size(kPaths) - 1];
}

}  // namespace

bool supported(Path path) {
  const Entry& e = entry(path);
  return e.path == path && e.table != nullptr && (e.runs == nullptr || e.runs());
}

namespace {

#if TARSIM_TESTING
// The path TARSIM_SIMD_PATH names, if it is set; a name that is not a
// supported path ends the program, so that a run meant for one path never
// runs another.
bool forced(Path& path) {
  const char* wanted = std::getenv("TARSIM_SIMD_PATH");
  if (wanted == nullptr || *wanted == '\0') return false;
  for (const Entry& e : kPaths) {
    if (std::strcmp(e.name, wanted) == 0 && supported(e.path)) {
      path = e.path;
      return true;
    }
  }
  std::fprintf(stderr, "TARSIM_SIMD_PATH=%s: not a path this processor supports\n", wanted);
  std::abort();
}
#else
bool forced(Path&) { return false; }
#endif

}  // namespace

Path best() {
  static const Path chosen = [] {
    Path path = Path::Scalar;
    if (forced(path)) return path;
    for (const Entry& e : kPaths) {
      if (supported(e.path)) return e.path;
    }
    return Path::Scalar;
  }();
  return chosen;
}

const char* name(Path path) { return entry(path).name; }

namespace {

// The one choice of kernels: the table of a path, which must be supported
// (the scalar one for a path not built here).
const kernels::Table& table(Path path) {
  const kernels::Table* chosen = entry(path).table;
  return chosen != nullptr ? *chosen : kernels::scalar_table;
}

const kernels::Table& best_table() {
  static const kernels::Table& chosen = table(best());
  return chosen;
}

}  // namespace

#define TARSIM_DEFINE_ON_PATH(ret, name, params, args) \
  ret name(Path path, TARSIM_UNPAREN params) { return table(path).name args; }
TARSIM_KERNELS(TARSIM_DEFINE_ON_PATH)
#undef TARSIM_DEFINE_ON_PATH

}  // namespace simd

#define TARSIM_DEFINE_ON_BEST(ret, name, params, args) \
  ret name params { return simd::best_table().name args; }
TARSIM_KERNELS(TARSIM_DEFINE_ON_BEST)
#undef TARSIM_DEFINE_ON_BEST

const char* simd_path() { return simd::name(simd::best()); }

}  // namespace tarsim::metrics
