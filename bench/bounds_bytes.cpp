// Bytes a PyFlat search reads, with the sketch bounds, as a share of the
// stored vectors' bytes. Built by bench_bounds.py against this source tree.
// Usage: bounds_bytes <file> <k>; the file holds n, queries, dim as int64
// and then the n stored rows and the query rows as float64.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "flat/flat.hpp"
#include "harness.hpp"

int main(int argc, char** argv) {
  tarsim::bench::RowsFile file;
  if (argc < 3 || !tarsim::bench::read_rows(argv[1], file)) return 2;
  const std::size_t n = file.n, queries = file.queries, dim = file.dim;
  const auto k = static_cast<std::uint32_t>(std::atoi(argv[2]));
  const char* names[] = {"euclidean", "inner_product", "cosine"};
  const tarsim::metrics::Metric metrics[] = {tarsim::metrics::Metric::Euclidean,
                                             tarsim::metrics::Metric::InnerProduct,
                                             tarsim::metrics::Metric::Cosine};
  std::printf("{");
  for (int m = 0; m < 3; ++m) {
    tarsim::flat::Flat index(static_cast<std::uint32_t>(dim), metrics[m]);
    index.add_rows(file.row(0), n);
    const auto& sketch = index.sketch();
    const double record = sketch.ready() ? sketch.stride() * sizeof(double) : 0.0;
    double read = 0.0;
    std::vector<tarsim::flat::Hit> out;
    for (std::size_t q = 0; q < queries; ++q) {
      tarsim::flat::ScanStats stats;
      index.search({file.query(q), dim}, k, out, nullptr, &stats);
      read += stats.sketched * record + stats.code_blocks * 64.0 +
              stats.scored * dim * sizeof(double);
    }
    std::printf("%s\"%s\": {\"share\": %.6f, \"sketch_bytes\": %.0f}", m ? ", " : "", names[m],
                read / queries / (static_cast<double>(n) * dim * sizeof(double)),
                static_cast<double>(sketch.bytes_per_vector()));
  }
  std::printf("}\n");
  return 0;
}
