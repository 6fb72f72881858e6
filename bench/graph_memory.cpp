// The graph index bulk-built from a file with fixed level draws: where its bytes
// go, by part, the build and query times, and a fingerprint of every list
// and every answer (so that two builds of different sources can be compared
// to the bit). Built by bench_memory.py. Usage: graph_memory <file> <k>
// <layers> [repeat]; the file holds n, queries, dim as int64 and then the n
// stored rows and the query rows as float64. The query batch runs `repeat`
// times (default 1) in run_queries, which a profiler can single out.
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
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

// FNV-1a over 64-bit words.
struct Hash {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  void add(std::uint64_t word) {
    for (int i = 0; i < 8; ++i) {
      h ^= (word >> (8 * i)) & 0xff;
      h *= 0x100000001b3ULL;
    }
  }
};

std::uint64_t lists_print(const HNSW& index) {
  Hash hash;
  std::vector<std::uint32_t> ids, offsets;
  index.flat_view(ids, offsets);
  for (std::uint32_t id : ids) hash.add(id);
  for (std::uint32_t at : offsets) hash.add(at);
  for (std::uint32_t layer = 1; layer < index.layers() && layer < 64; ++layer) {
    for (std::uint32_t node = 0; node < index.size(); ++node) {
      const auto list = index.neighbors_of(node, layer);
      hash.add(list.size());
      for (std::uint32_t id : list) hash.add(id);
    }
  }
  return hash.h;
}

// Entries a walk of each layer reads over all lists, as a JSON array.
std::string layer_entries(const HNSW& index) {
  std::string out = "[";
  for (std::uint32_t layer = 0; layer < index.layers() && layer < 64; ++layer) {
    std::size_t entries = 0;
    for (std::uint32_t node = 0; node < index.size(); ++node) {
      entries += index.neighbors_of(node, layer).size();
    }
    out += (layer == 0 ? "" : ", ") + std::to_string(entries);
  }
  return out + "]";
}

[[gnu::noinline]] std::uint64_t run_queries(const HNSW& index, const RowsFile& file,
                                            std::uint32_t k, std::vector<double>& times) {
  Hash hash;
  std::vector<Scored> out;
  for (std::size_t q = 0; q < file.queries; ++q) {
    const auto start = std::chrono::steady_clock::now();
    if (index.search({file.query(q), file.dim}, k, nullptr, out)) std::exit(4);
    times.push_back(seconds_since(start));
    hash.add(out.size());
    for (const Scored& s : out) {
      hash.add(s.id);
      hash.add(std::bit_cast<std::uint64_t>(s.distance));
    }
  }
  return hash.h;
}

}  // namespace

int main(int argc, char** argv) {
  RowsFile file;
  if (argc < 4 || !tarsim::bench::read_rows(argv[1], file)) return 2;
  const auto k = static_cast<std::uint32_t>(std::atoi(argv[2]));
  const auto layers = static_cast<std::uint32_t>(std::atoi(argv[3]));
  const int repeat = argc > 4 ? std::atoi(argv[4]) : 1;
  HNSW index({.dim = static_cast<std::uint32_t>(file.dim), .layers = layers,
              .metric = tarsim::metrics::Metric::Euclidean, .schema = {}});
  tarsim::bench::Seeded draws(tarsim::bench::kSeed);
  // One bulk build, as PyHNSW.create makes it.
  auto bulk = std::make_unique<tarsim::FloatRows>();
  for (std::size_t i = 0; i < file.n; ++i) bulk->push_row({file.row(i), file.dim});
  const auto start = std::chrono::steady_clock::now();
  if (index.create(*bulk, draws)) std::exit(3);
  bulk.reset();
  const double build = seconds_since(start);
  std::vector<double> times;
  std::uint64_t answers = 0;
  for (int r = 0; r < repeat; ++r) answers = run_queries(index, file, k, times);
  const auto m = Knobs::graph(index).memory();
  const std::size_t sketch = Knobs::sketch(index).memory_bytes();
  std::printf(
      "{\"n\": %zu, \"build\": %.6f, \"query\": %.9f, \"total\": %zu, \"vectors\": %zu, "
      "\"lists\": %zu, \"lists_used\": %zu, \"layer_lists\": %zu, \"layer_lists_used\": %zu, "
      "\"list_index\": %zu, \"rows\": %zu, \"other\": %zu, \"sketch\": %zu, \"scratch\": %zu, "
      "\"layer_entries\": %s, \"lists_print\": \"%016llx\", \"answers_print\": \"%016llx\"}\n",
      file.n, build, median(times), index.memory_bytes(), m.vectors, m.lists, m.lists_used,
      m.layer_lists, m.layer_lists_used, m.list_index, m.rows, m.other, sketch,
      index.memory_bytes() - m.total() - sketch, layer_entries(index).c_str(),
      static_cast<unsigned long long>(lists_print(index)),
      static_cast<unsigned long long>(answers));
  return 0;
}
