// The graph index built twice on the same data and level draws, with and
// without the sketch bounds: build and query times of each, the share of
// looked-at neighbours the bounds ruled out, and whether every list and
// every answer is the same to the bit. Built by bench_bounds.py against this
// source tree. Usage: graph_bounds <file> <k> [on|off|both] [axes|-] [euclidean|angular|
// inner_product]; the file holds
// n, queries, dim as int64 and then the n stored rows and the query rows as
// float64.
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "harness.hpp"
#include "hnsw/hnsw.hpp"
#include "testing/knobs.hpp"

namespace {

using tarsim::bench::median;
using tarsim::bench::RowsFile;
using tarsim::bench::seconds_since;
using tarsim::hnsw::HNSW;
using tarsim::hnsw::Scored;
using tarsim::testing::Knobs;

struct Run {
  double build = 0.0;
  std::vector<double> query_times;
  std::vector<std::vector<Scored>> answers;
  std::size_t skipped_build = 0, skipped_queries = 0;
};

Run run(HNSW& index, const RowsFile& file, std::uint32_t k) {
  Run r;
  tarsim::bench::Seeded draws(tarsim::bench::kSeed);
  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < file.n; ++i) {
    if (index.insert({file.row(i), file.dim}, nullptr, draws)) std::exit(3);
  }
  r.build = seconds_since(start);
  r.skipped_build = Knobs::skipped(index);
  r.answers.resize(file.queries);
  for (std::size_t q = 0; q < file.queries; ++q) {
    start = std::chrono::steady_clock::now();
    index.search({file.query(q), file.dim}, k, nullptr, r.answers[q]);
    r.query_times.push_back(seconds_since(start));
  }
  r.skipped_queries = Knobs::skipped(index) - r.skipped_build;
  return r;
}

bool same_answers(const Run& a, const Run& b) {
  for (std::size_t q = 0; q < a.answers.size(); ++q) {
    if (a.answers[q].size() != b.answers[q].size()) return false;
    for (std::size_t i = 0; i < a.answers[q].size(); ++i) {
      if (a.answers[q][i].id != b.answers[q][i].id ||
          std::bit_cast<std::uint64_t>(a.answers[q][i].distance) !=
              std::bit_cast<std::uint64_t>(b.answers[q][i].distance)) {
        return false;
      }
    }
  }
  return true;
}

bool same_graphs(const HNSW& a, const HNSW& b) {
  std::vector<std::uint32_t> x, xo, y, yo;
  a.flat_view(x, xo);
  b.flat_view(y, yo);
  if (x != y || xo != yo) return false;
  for (std::uint32_t node = 0; node < a.size(); ++node) {
    for (std::uint32_t layer = 1; layer < a.layers(); ++layer) {
      if (a.neighbors_of(node, layer) != b.neighbors_of(node, layer)) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  RowsFile file;
  if (argc < 3 || !tarsim::bench::read_rows(argv[1], file)) return 2;
  const auto k = static_cast<std::uint32_t>(std::atoi(argv[2]));
  const char* mode = argc > 3 ? argv[3] : "both";
  const char* metric = argc > 5 ? argv[5] : "euclidean";
  const tarsim::hnsw::Params params{
      .dim = static_cast<std::uint32_t>(file.dim),
      .metric = std::strcmp(metric, "angular") == 0         ? tarsim::metrics::Metric::Cosine
                : std::strcmp(metric, "inner_product") == 0 ? tarsim::metrics::Metric::InnerProduct
                                                            : tarsim::metrics::Metric::Euclidean,
      .schema = {}};
  HNSW on(params), off(params);
  Knobs::set_bounds(on, true);
  Knobs::set_bounds(off, false);
  if (argc > 4 && std::strcmp(argv[4], "-") != 0) {
    // A record of this many axes instead of the default size rule.
    tarsim::sketch::Config config = HNSW::default_sketch_config(params.metric);
    config.max_axes = static_cast<std::uint32_t>(std::atoi(argv[4]));
    config.ignore_size_rule = true;
    Knobs::set_sketch_config(on, config);
  }
  Run a, b;
  if (std::strcmp(mode, "off") != 0) a = run(on, file, k);
  if (std::strcmp(mode, "on") != 0) b = run(off, file, k);
  const bool both = std::strcmp(mode, "both") == 0;
  const bool same = both && same_graphs(on, off) && same_answers(a, b);
  std::printf(
      "{\"build_on\": %.6f, \"build_off\": %.6f, \"query_on\": %.9f, \"query_off\": %.9f, "
      "\"skipped_build\": %zu, \"skipped_queries\": %zu, \"sketch_bytes\": %zu, "
      "\"same\": %s}\n",
      a.build, b.build, median(a.query_times), median(b.query_times), a.skipped_build,
      a.skipped_queries, Knobs::sketch(on).bytes_per_vector(), both ? (same ? "true" : "false") : "null");
  return 0;
}
