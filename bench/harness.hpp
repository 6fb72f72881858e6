// What the C++ harnesses of bench/ share: the file of rows they read, the
// fixed level draws of the graph ones, and their clocks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../tests/hnsw/seeded.hpp"

namespace tarsim::bench {

// The level draws of every graph harness: the same on every run.
using tarsim::hnsw::testing::Seeded;
inline constexpr std::uint64_t kSeed = 1;

// The file a harness is given: n, queries, dim as int64, then the n stored
// rows and the query rows as float64, the queries right after the rows.
struct RowsFile {
  std::size_t n = 0, queries = 0, dim = 0;
  std::vector<double> rows;  // (n + queries) * dim values

  const double* row(std::size_t i) const { return rows.data() + i * dim; }
  const double* query(std::size_t q) const { return row(n + q); }
};

// Reads the file at `path` whole into `file`; false when it cannot.
inline bool read_rows(const char* path, RowsFile& file) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::int64_t head[3];
  bool read = std::fread(head, sizeof head, 1, f) == 1;
  if (read) {
    file.n = head[0];
    file.queries = head[1];
    file.dim = head[2];
    file.rows.resize((file.n + file.queries) * file.dim);
    read = std::fread(file.rows.data(), sizeof(double), file.rows.size(), f) == file.rows.size();
  }
  std::fclose(f);
  return read;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace tarsim::bench
