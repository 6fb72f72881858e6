// The exhaustive index: every stored vector is compared with the query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "metrics/metrics.hpp"
#include "metrics/storage.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::flat {

enum class FlatError : std::uint8_t { EmptyIndex, EmptyVectors };
const char* error_name(FlatError error);

// What one search read: rows whose sketch was bounded, rows scored exactly.
struct ScanStats {
  std::size_t sketched = 0;
  std::size_t scored = 0;
};

// One ranked answer: the stored vector's id and its raw metric value.
struct Hit {
  std::uint32_t id;
  double distance;
};

class Flat {
 public:
  Flat(std::uint32_t dim, metrics::Metric metric);

  std::uint32_t dim() const { return dim_; }
  metrics::Metric metric() const { return metric_; }
  // Number of stored vectors; 0 while nothing is stored and always 0 with dim 0.
  std::size_t size() const { return dim_ == 0 ? 0 : vectors_.size() / dim_; }
  const ValueStorage& vectors() const { return vectors_; }

  // Appends one vector; the caller has checked that it holds dim values.
  void add(std::span<const double> vector);
  // Appends `rows` vectors of dim values each, laid out back to back.
  void add_rows(const double* data, std::size_t rows);
  // Makes room for `more` vectors without changing what is stored.
  void reserve(std::size_t more);

  // The k best stored vectors in the distance order, ties by id, exactly as
  // popping a heap of every (distance, id) pair until k results are held (so
  // k = 0 gives one). The query holds dim values. EmptyIndex when nothing is
  // stored.
  // Rows whose sketch bound rules them out are not read; the result is the
  // same to the bit either way. `stats`, when given, receives what was read.
  std::optional<FlatError> search(std::span<const double> query, std::uint32_t k,
                                  std::vector<Hit>& out, ScanStats* stats = nullptr) const;

  // Testing and benchmarking knobs, never needed for correct results:
  // whether searches use the sketch bounds (on unless the environment
  // variable TARSIM_BOUNDS is "off" when the first index is made), and the
  // sketch settings (recomputes the sketches of what is stored).
  void set_bounds(bool on) { bounds_ = on; }
  bool bounds() const { return bounds_; }
  void set_sketch_config(const sketch::Config& config);
  const sketch::Sketch& sketch() const { return sketch_; }

 private:
  ValueStorage vectors_;
  sketch::Sketch sketch_;
  bool bounds_;
  std::uint32_t dim_;
  metrics::Metric metric_;
};

}  // namespace tarsim::flat
