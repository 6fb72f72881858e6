// Sketches of stored vectors: a few coordinates of every vector in a basis
// fitted to the data, with the norms that proven lower bounds on the metric
// values need. A scan asks for the bounds first and computes the exact
// distance only for the vectors whose bound does not already rule them out.
// The basis is fitted in basis.cpp, the records and their bounds are in
// records.hpp (with the proof that the bounds hold), the byte codes of the
// euclidean sketches in codes.hpp, and the settings in config.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "core/storage.hpp"
#include "metrics/metrics.hpp"
#include "sketch/axis_codes.hpp"
#include "sketch/codes.hpp"
#include "sketch/config.hpp"

namespace tarsim::testing {
struct Knobs;
}

namespace tarsim::sketch {

// A query prepared for the bounds: its own record, as for a stored vector.
struct Query {
  std::vector<double> record;
  bool usable = false;
  // Its codes (zero past the dimension) and whether it has them.
  std::vector<std::int8_t> codes;
  bool coded = false;
  // What the axis codes need of it (axis.usable: whether they can be used).
  axis::Prepared axis;
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
  // The record, the codes with their flag byte, and the axis codes, of
  // those that are kept.
  std::size_t bytes_per_vector() const {
    return (ready() ? stride() * sizeof(double) + (coding() ? grid_.stride + 1 : 0) : 0) +
           axis_.axes;
  }
  // Bytes held (capacities), for diagnostics.
  std::size_t memory_bytes() const {
    return (basis_.capacity() + records_.capacity() + axis_.basis.capacity()) * sizeof(double) +
           codes_.capacity() + coded_.capacity() + axis_codes_.capacity();
  }
  // Whether the axis codes are kept (then for every row, the last few of
  // them perhaps without codes yet), how many axes,
  // and for how many rows.
  bool axis_coding() const { return axis_.axes > 0; }
  std::size_t axis_blocks() const { return axis::blocks_of(axis_.axes); }
  std::size_t axis_rows() const {
    return axis_codes_.size() > axis::kBlock ? (axis_codes_.size() - axis::kBlock) / axis_.axes : 0;
  }
  // Whether the codes are kept (then with every record).
  bool coding() const { return ready() && grid_.stride > 0; }
  // Bytes of codes per vector: the dimension rounded up to 64.
  std::size_t code_stride() const { return grid_.stride; }
  // The grid: value c + k s for the code k in [-127, 127].
  double code_centre() const { return grid_.centre; }
  double code_step() const { return grid_.step; }
  // Bound on |B B' - I| (spectral norm) for the basis in use; 0 before a fit.
  double orthogonality_error() const { return eps_; }
  // The metric's margin in the bounds (see records.cpp), for tests.
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
  // The same for the axis codes alone (out.axis), which prepare leaves out:
  // a search may not need them.
  void prepare_axis(std::span<const double> query, Query& out) const;

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
  // The axis code bound: axis_thresholds(query, worst, out) writes, one per
  // block of 64 axes (axis_blocks() of them, the last perhaps partial), the weighted code sum
  // that proves after that block that a row's computed metric value does
  // not rank before worst (NaN or +infinity when nothing is proven), and
  // says whether any can rule a row out; axis_survivors keeps the rows
  // among [begin, begin + count), or among from[0 .. count) when from is not
  // null, that no block rules out, in their order, written to ids (which may
  // be from; all of them when the query has no axis codes), and adds the
  // 64-code blocks it read to *blocks_read. `whole` (inner product and
  // cosine): every block of a row is read before its verdict (see
  // metrics.hpp), for scattered rows that mostly go on to the last blocks.
  bool axis_thresholds(const Query& query, double worst, double* out) const;
  std::size_t axis_survivors(const Query& query, const double* thresholds,
                             const std::uint32_t* from, std::size_t begin, std::size_t count,
                             std::uint32_t* ids, std::size_t* blocks_read,
                             bool whole = false) const;
  // The lower bound itself, in threshold units (squared for the euclidean
  // distance); NaN when nothing is proven. For tests.
  double bound(const Query& query, std::uint32_t id) const;

 private:
  friend struct ::tarsim::testing::Knobs;

  void fit(const double* data, std::size_t n);
  // The code sum of one row against the query, -1 when either has no codes
  // (testing::Knobs::code_sum).
  std::int64_t code_sum(const Query& query, std::uint32_t id) const;
  // Fits the records' basis to the sample (axes_ stays 0 when none is made).
  void fit_records(const std::vector<const double*>& sample);
  // Computes the records (and codes) of rows [from, n) of data into place.
  void add_records(const double* data, std::size_t from, std::size_t n);

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
  double margin_ = 0.0;                // the metric's margin (see records.cpp)
  // The codes: grid_.stride bytes per row (0 when not kept), and one flag
  // byte per row, 0 when the row has none.
  codes::Grid grid_;
  std::vector<std::int8_t, LineAllocator<std::int8_t>> codes_;
  std::vector<std::uint8_t> coded_;
  // The axis codes: axis_.axes bytes per row (none when axis_.axes is 0),
  // and after the last row kBlock bytes that the scan may read but never
  // uses (its weights there are zero).
  axis::Grid axis_;
  std::vector<std::int8_t, LineAllocator<std::int8_t>> axis_codes_;
  std::size_t axis_coded_ = 0;  // rows before it have their axis codes
};

}  // namespace tarsim::sketch
