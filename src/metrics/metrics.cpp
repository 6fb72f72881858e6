// The three metric functions, the bound of the early-abandoning kernels and
// the choice of kernel table for this processor.
#include "metrics/metrics.hpp"

#include <cmath>
#include <iterator>
#include <limits>

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace tarsim::metrics {

double euclidean_distance(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = first[i] - second[i];
    sum = sum + d * d;
  }
  return std::sqrt(sum);
}

double dot_product(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum = sum + first[i] * second[i];
  return sum;
}

double cosine_similarity(Vec first, Vec second) {
  const std::size_t n = std::min(first.size(), second.size());
  double dot = 0.0;
  for (std::size_t i = 0; i < n; ++i) dot = dot + first[i] * second[i];
  double a = 0.0;
  for (double x : first) a = a + x * x;
  double b = 0.0;
  for (double x : second) b = b + x * x;
  return dot / (std::sqrt(a) * std::sqrt(b));
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
    {Path::Scalar, "scalar", nullptr, &kernels::scalar_table},
};
#undef TARSIM_X86_PATH

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

Path best() {
  static const Path chosen = [] {
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
