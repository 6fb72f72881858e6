// Sketches of stored vectors: a few coordinates of every vector in a basis
// fitted to the data, with the norms that proven lower bounds on the metric
// values need. A scan asks for the bounds first and computes the exact
// distance only for the vectors whose bound does not already rule them out.
//
// The sketch of a vector x is one record of stride() doubles:
//   s[0 .. m)   the computed products of the m basis rows with x
//   s[m]        nu:  an upper bound on the true norm |x|
//   s[m + 1]    rlo: a lower bound on the norm of the part of x outside the
//                    span of the basis (the residual x - B'Bx)
//   s[m + 2]    rhi: an upper bound on that residual norm
// A vector the bounds cannot be proven for (a non-finite component, a huge
// or a tiny magnitude, a zero vector under the cosine) gets NaN in every
// slot: every bound computed from it is NaN, and a NaN bound rules nothing
// out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "metrics/metrics.hpp"
#include "core/storage.hpp"

namespace tarsim::sketch {

// Whether the bounds are wanted at all: false when the environment variable
// TARSIM_BOUNDS is "off" (a knob for tests and benchmarks), read once.
bool enabled_by_environment();

// When the sketches are kept and what they look like. The defaults are what
// the indexes use; the other fields exist so that tests can force the
// machinery onto small indexes and plant faults in it.
struct Config {
  bool enabled = true;
  // A basis is fitted once the index holds this many vectors...
  std::size_t min_rows = 8192;
  // ... and refitted whenever it has grown this many times since the fit.
  std::size_t growth = 8;
  // No sketches below this dimension: a record would cost too large a share
  // of the vector it stands for.
  std::uint32_t min_dim = 64;
  // At most this many axes. With the size rule, a record is also one cache
  // line (5 axes) below dimension 512, two (13 axes) below 1024 and four
  // above, and never more than a quarter of the vector's bytes: a scan reads
  // every record, so a small one pays more than a few more axes would.
  std::uint32_t max_axes = 29;
  // When set, max_axes alone limits the axes (tests at small dimensions).
  bool ignore_size_rule = false;
  // Test-only planted faults: the rounding margins are multiplied by
  // margin_scale, and drop_tail leaves out the residual term of the inner
  // product and cosine bounds. Both make the bounds unsound when changed.
  double margin_scale = 1.0;
  bool drop_tail = false;
  // Euclidean only: also keep every vector's values rounded to a grid, one
  // byte each, for a second, finer bound (see "Codes" in sketch.cpp). Kept
  // from dimension 128 on (any dimension with ignore_size_rule), up to 32768.
  bool codes = false;
  // Test-only planted fault: the code bound's threshold is multiplied by
  // this, which makes the bound unsound below 1.
  double code_threshold_scale = 1.0;
};

// A query prepared for the bounds: its own record, as for a stored vector.
struct Query {
  std::vector<double> record;
  bool usable = false;
  // Its codes (zero past the dimension) and whether it has them.
  std::vector<std::int8_t> codes;
  bool coded = false;
};

class Sketch {
 public:
  Sketch() = default;
  Sketch(std::uint32_t dim, metrics::Metric metric, Config config = {});

  const Config& config() const { return config_; }
  // Whether bounds can be asked for: a basis is fitted and every stored
  // vector has its record.
  bool ready() const { return axes_ > 0; }
  std::uint32_t axes() const { return axes_; }
  std::size_t stride() const { return std::size_t{axes_} + 3; }
  std::size_t rows() const { return stride() == 3 ? 0 : records_.size() / stride(); }
  // The record, and the codes with their flag byte when they are kept.
  std::size_t bytes_per_vector() const {
    return ready() ? stride() * sizeof(double) + (coding() ? code_stride_ + 1 : 0) : 0;
  }
  // Bytes held (capacities), for diagnostics.
  std::size_t memory_bytes() const {
    return (basis_.capacity() + records_.capacity()) * sizeof(double) + codes_.capacity() +
           coded_.capacity();
  }
  // Whether the codes are kept (then with every record).
  bool coding() const { return ready() && code_stride_ > 0; }
  // Bytes of codes per vector: the dimension rounded up to 64.
  std::size_t code_stride() const { return code_stride_; }
  // The grid: value c + k s for the code k in [-127, 127].
  double code_centre() const { return code_centre_; }
  double code_step() const { return code_step_; }
  // Bound on |B B' - I| (spectral norm) for the basis in use; 0 before a fit.
  double orthogonality_error() const { return eps_; }
  // The metric's margin in the bounds (see sketch.cpp), for tests.
  double margin() const { return margin_; }
  // How many times a basis has been fitted.
  std::size_t fits() const { return fits_; }
  const double* record(std::size_t id) const { return records_.data() + id * stride(); }

  // Brings the records up to date with the first n rows of `data` (dim
  // values each, back to back), of which the first rows() are unchanged
  // since the last call: fits or refits the basis when the growth rule says
  // so (recomputing every record), otherwise adds the new rows' records.
  void update(const double* data, std::size_t n);

  // Prepares a query of dim values. usable is false when no bound can be
  // proven for it (or nothing is ready); the caller then scores everything.
  void prepare(std::span<const double> query, Query& out) const;

  // Threshold form of `worst` for the bounds: the value a bound must reach
  // for a vector to be ruled out. NaN (nothing is ruled out) when worst is
  // not a finite number.
  double threshold(double worst) const;

  // The rows among [begin, begin + count) that may rank before the worst
  // kept result, in id order, written to ids; returns how many. `threshold`
  // comes from threshold(worst).
  std::size_t survivors(const Query& query, double threshold, std::size_t begin,
                        std::size_t count, std::uint32_t* ids) const;
  // The same for the rows named by ids[0 .. count), in any order: those that
  // may rank before the worst kept result, in their order in ids, written to
  // out (which may be ids itself); returns how many.
  std::size_t survivors_of(const Query& query, double threshold, const std::uint32_t* ids,
                           std::size_t count, std::uint32_t* out) const;
  // The same test for a single stored row: false only when it is proven
  // that the computed metric value of (query, row) does not rank before the
  // worst kept one.
  bool may_enter(const Query& query, double threshold, std::uint32_t id) const;
  // The code bound: code_threshold(worst) is the code sum (an integer) that
  // proves a row's computed euclidean distance not below worst, INT32_MAX
  // when nothing can be proven; code_survivors_of keeps, in their order, the
  // rows named by ids[0 .. count) whose code sum stays below it (all of them
  // when the query has no codes). out may be ids.
  std::int32_t code_threshold(double worst) const;
  std::size_t code_survivors_of(const Query& query, std::int32_t threshold,
                                const std::uint32_t* ids, std::size_t count,
                                std::uint32_t* out) const;
  // The code sum of one row against the query, -1 when either has no codes.
  // For tests.
  std::int64_t code_sum(const Query& query, std::uint32_t id) const;

  // The lower bound itself, in threshold units (squared for the euclidean
  // distance); NaN when nothing is proven. For tests.
  double bound(const Query& query, std::uint32_t id) const;

 private:
  void fit(const double* data, std::size_t n);
  void compute_record(const double* x, double* out) const;
  void set_margins();
  void fit_grid(const std::vector<const double*>& sample);
  bool encode(const double* x, std::int8_t* out) const;

  Config config_;
  std::uint32_t dim_ = 0;
  metrics::Metric metric_ = metrics::Metric::Euclidean;
  std::uint32_t axes_ = 0;             // m; 0 while there is no basis
  std::vector<double> basis_;          // B: m rows of dim values
  std::vector<double, LineAllocator<double>> records_;  // stride() doubles per row
  std::size_t fitted_rows_ = 0;        // rows stored at the last fit
  std::size_t fits_ = 0;
  double eps_ = 0.0;                   // proven bound on |B B' - I|
  double residual_slack_ = 0.0;        // relative margin of the residual interval
  double margin_ = 0.0;                // the metric's margin (see sketch.cpp)
  // The codes: code_stride_ bytes per row (0 when not kept), and one flag
  // byte per row, 0 when the row has none.
  std::size_t code_stride_ = 0;
  double code_centre_ = 0.0;
  double code_step_ = 0.0;
  std::vector<std::int8_t, LineAllocator<std::int8_t>> codes_;
  std::vector<std::uint8_t> coded_;
};

}  // namespace tarsim::sketch
