// The exhaustive index: every stored vector is compared with the query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/ids.hpp"
#include "core/interrupt.hpp"
#include "metrics/metrics.hpp"
#include "core/storage.hpp"
#include "sketch/sketch.hpp"

namespace tarsim::testing {
struct Knobs;
}

namespace tarsim::flat {

// TooManyVectors: an add that would store more than kMaxVectors vectors.
// Interrupted: the caller's interruption hook asked an operation to stop.
enum class FlatError : std::uint8_t { EmptyIndex, EmptyVectors, TooManyVectors, Interrupted };
const char* error_name(FlatError error);

// What one search read: rows whose record was bounded, rows asked of the
// axis codes and the 64-byte blocks of them read, rows scored exactly.
struct ScanStats {
  std::size_t sketched = 0;
  std::size_t coded = 0;
  std::size_t code_blocks = 0;
  std::size_t scored = 0;
};

// One ranked answer: the stored vector's id and its raw metric value.
struct Hit {
  std::uint32_t id;
  double distance;
};

class Flat {
 public:
  // `max_vectors` lowers the cap on stored vectors, for tests.
  Flat(std::uint32_t dim, metrics::Metric metric, std::size_t max_vectors = kMaxVectors);

  std::uint32_t dim() const { return dim_; }
  metrics::Metric metric() const { return metric_; }
  // Number of stored vectors; 0 while nothing is stored and always 0 with dim 0.
  std::size_t size() const { return dim_ == 0 ? 0 : vectors_.size() / dim_; }
  const ValueStorage& vectors() const { return vectors_; }

  // Appends one vector; the caller has checked that it holds dim values.
  // TooManyVectors, storing nothing, when the index is full.
  std::optional<FlatError> add(std::span<const double> vector);
  // Appends `rows` vectors of dim values each, laid out back to back.
  // TooManyVectors, storing nothing, when they would not all fit. Copies in
  // blocks, polling `interrupt` between them: on Interrupted the vectors of
  // the blocks before stay stored.
  std::optional<FlatError> add_rows(const double* data, std::size_t rows,
                                    Interrupt* interrupt = nullptr);
  // Makes room for `more` vectors without changing what is stored.
  void reserve(std::size_t more);

  // The k best stored vectors in the distance order, ties by id, exactly as
  // popping a heap of every (distance, id) pair until k results are held (so
  // k = 0 gives one). The query holds dim values. EmptyIndex when nothing is
  // stored. Polls `interrupt` between pieces of the scan (Interrupted).
  // Rows whose sketch bound rules them out are not read; the result is the
  // same to the bit either way. `stats`, when given, receives what was read.
  std::optional<FlatError> search(std::span<const double> query, std::uint32_t k,
                                  std::vector<Hit>& out, Interrupt* interrupt = nullptr,
                                  ScanStats* stats = nullptr) const;

  // The sketch of what is stored, for diagnostics (its size per vector).
  const sketch::Sketch& sketch() const { return sketch_; }

 private:
  // Whether searches use the sketch bounds and the sketch settings are set
  // through testing::Knobs (src/testing/knobs.hpp).
  friend struct ::tarsim::testing::Knobs;

  ValueStorage vectors_;
  sketch::Sketch sketch_;
  bool bounds_;
  std::uint32_t dim_;
  metrics::Metric metric_;
  std::size_t max_vectors_;
};

}  // namespace tarsim::flat
