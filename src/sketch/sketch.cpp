// The sketch of an index: when the basis is fitted, the records and codes of
// the stored rows, and the scans over their bounds.
#include "sketch/sketch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sketch/basis.hpp"
#include "sketch/records.hpp"

namespace tarsim::sketch {
namespace {

// Bounds are computed in pieces of this many rows into a buffer.
constexpr std::size_t kPiece = 256;
// Rows added one by one get their axis codes once this many are waiting:
// coding a row alone reads the whole basis, dim x axes values, for it.
constexpr std::size_t kAxisBatch = 32;

}  // namespace

Sketch::Sketch(std::uint32_t dim, metrics::Metric metric, Config config)
    : config_(config), dim_(dim), metric_(metric) {}

void Sketch::update(const double* data, std::size_t n) {
  if (!config_.enabled || dim_ == 0) return;
  if (dim_ < config_.min_dim && size_rules(config_)) return;
  if (n < config_.min_rows || n == 0) return;
  const std::size_t growth = std::max<std::size_t>(config_.growth, 2);
  if (fitted_rows_ == 0 || n / growth >= fitted_rows_) {
    fit(data, n);
    return;
  }
  if (!ready() && !axis_coding()) return;
  const std::size_t have = ready() ? rows() : axis_rows();
  if (n <= have) return;
  add_records(data, have, n);
}

void Sketch::fit(const double* data, std::size_t n) {
  fitted_rows_ = n;
  ++fits_;
  axes_ = 0;
  records_.clear();
  grid_ = {};
  codes_.clear();
  coded_.clear();
  axis_ = {};
  axis_codes_.clear();
  axis_coded_ = 0;
  const std::vector<const double*> sample = basis::sample(data, n, dim_);
  fit_records(sample);
  if (axis::wanted(config_, dim_)) {
    axis_ = axis::fit(sample, dim_, dim_, metric_);
#if TARSIM_TESTING
    axis_.drop_tail = config_.drop_tail;
#endif
  }
  add_records(data, 0, n);
}

void Sketch::fit_records(const std::vector<const double*>& sample) {
  const std::size_t m = basis::axes_for(config_, dim_);
  if (m == 0) return;
  basis::Basis fitted;
  if (!basis::fit(sample, m, dim_, fitted)) return;
  eps_ = fitted.eps;
  axes_ = static_cast<std::uint32_t>(m);
  basis_.swap(fitted.rows);
  const records::Margins margins = records::margins_for(metric_, dim_, m, eps_);
  residual_slack_ = margins.residual_slack;
  margin_ = margins.margin;
#if TARSIM_TESTING
  margin_ *= config_.margin_scale;
#endif
  if (codes::wanted(config_, metric_, dim_)) grid_ = codes::fit(sample, dim_);
}

void Sketch::add_records(const double* data, std::size_t from, std::size_t n) {
  if (axis_.axes > 0) {
    // Rows are coded a batch at a time: a row of the batch still open reads
    // as one without codes, which no bound rules out.
    axis_codes_.resize(n * axis_.axes + axis::kBlock);
    for (std::size_t id = from; id < n; ++id) axis_codes_[id * axis_.axes] = axis::kUncoded;
    if (from == 0 || n - axis_coded_ >= kAxisBatch) {
      axis::encode_rows(axis_, data, dim_, axis_coded_, n, axis_codes_.data());
      axis_coded_ = n;
    }
  }
  if (!ready()) return;
  records_.resize(n * stride());
  if (grid_.stride > 0) {
    codes_.resize(n * grid_.stride);
    coded_.resize(n);
  }
  const bool cosine = metric_ == metrics::Metric::Cosine;
  for (std::size_t id = from; id < n; ++id) {
    const double* x = data + id * dim_;
    records::compute(basis_.data(), axes_, dim_, cosine, residual_slack_, x,
                     records_.data() + id * stride());
    if (grid_.stride > 0) coded_[id] = codes::encode(grid_, x, dim_, codes_.data() + id * grid_.stride);
  }
}

void Sketch::prepare(std::span<const double> query, Query& out) const {
  out.usable = false;
  out.coded = false;
  out.axis.usable = false;
  if (query.size() != dim_ || !ready()) return;
  out.record.resize(stride());
  records::compute(basis_.data(), axes_, dim_, metric_ == metrics::Metric::Cosine,
                   residual_slack_, query.data(), out.record.data());
  out.usable = !std::isnan(out.record[axes_]);
#if TARSIM_TESTING
  // The residual term of the inner product and cosine bounds is the
  // product of the two rhi: a query rhi of zero leaves it out.
  if (config_.drop_tail && out.usable && metric_ != metrics::Metric::Euclidean) {
    out.record[axes_ + 2] = 0.0;
  }
#endif
  if (grid_.stride == 0) return;
  out.codes.resize(grid_.stride);
  out.coded = codes::encode(grid_, query.data(), dim_, out.codes.data());
}

std::int32_t Sketch::code_threshold(double worst) const {
#if TARSIM_TESTING
  return codes::threshold(grid_, worst, config_.code_threshold_scale);
#else
  return codes::threshold(grid_, worst);
#endif
}

std::size_t Sketch::code_survivors_of(const Query& query, std::int32_t threshold,
                                      const std::uint32_t* ids, std::size_t count,
                                      std::uint32_t* out) const {
  if (!query.coded || grid_.stride == 0) {
    if (out != ids) std::copy(ids, ids + count, out);
    return count;
  }
  return metrics::code_survivors(query.codes.data(), codes_.data(), grid_.stride, coded_.data(),
                                 threshold, ids, count, out);
}

void Sketch::prepare_axis(std::span<const double> query, Query& out) const {
  out.axis.usable = false;
  if (query.size() == dim_ && axis_.axes > 0) axis::prepare(axis_, query.data(), dim_, out.axis);
}

bool Sketch::axis_thresholds(const Query& query, double worst, double* out) const {
  axis::thresholds(axis_, query.axis, worst, out);
  bool any = false;
  for (std::size_t b = 0; b < axis_blocks(); ++b) {
#if TARSIM_TESTING
    out[b] *= out[b] > 0.0 ? config_.code_threshold_scale : 1.0 / config_.code_threshold_scale;
#endif
    any |= out[b] < std::numeric_limits<double>::infinity();
  }
  return any;
}

std::size_t Sketch::axis_survivors(const Query& query, const double* thresholds,
                                   const std::uint32_t* from, std::size_t begin,
                                   std::size_t count, std::uint32_t* ids,
                                   std::size_t* blocks_read, bool whole) const {
  if (!query.axis.usable || axis_.axes == 0) {
    for (std::size_t j = 0; j < count; ++j) {
      ids[j] = from != nullptr ? from[j] : static_cast<std::uint32_t>(begin + j);
    }
    return count;
  }
  if (metric_ != metrics::Metric::Euclidean) {
    return metrics::axis_dot_survivors(query.axis.weights.data(), axis_codes_.data(), axis_.axes,
                                       query.axis.units.data(), thresholds, from, begin, count,
                                       ids, blocks_read, whole);
  }
#if TARSIM_TESTING
  if (config_.axis_gap_wide) {
    return axis::survivors_gap_wide(axis_, query.axis.codes.data(), axis_codes_.data(),
                                    thresholds[0], from, begin, count, ids);
  }
#endif
  return metrics::axis_code_survivors(query.axis.codes.data(), axis_codes_.data(), axis_.axes,
                                      axis_.weights.data(), thresholds[0], from, begin, count,
                                      ids, blocks_read);
}

std::int64_t Sketch::code_sum(const Query& query, std::uint32_t id) const {
  if (!query.coded || grid_.stride == 0 || coded_[id] == 0) return -1;
  return codes::sum(query.codes.data(), codes_.data() + std::size_t{id} * grid_.stride,
                    grid_.stride);
}

double Sketch::threshold(double worst) const {
  if (!std::isfinite(worst)) return records::kNaN;
  if (metric_ == metrics::Metric::Euclidean) return metrics::euclidean_bound(worst);
  return worst;
}

double Sketch::bound(const Query& query, std::uint32_t id) const {
  double lb = records::kNaN;
  records::bounds(metric_, query.record.data(), record(id), stride(), nullptr, 1, axes_, margin_,
                  &lb);
  return lb;
}

bool Sketch::may_enter(const Query& query, double threshold, std::uint32_t id) const {
  return !(bound(query, id) >= threshold);
}

std::size_t Sketch::survivors(const Query& query, double threshold, std::size_t begin,
                              std::size_t count, std::uint32_t* ids) const {
  double lb[kPiece];
  std::size_t live = 0;
  for (std::size_t at = 0; at < count; at += kPiece) {
    const std::size_t piece = std::min(kPiece, count - at);
    records::bounds(metric_, query.record.data(), record(begin + at), stride(), nullptr, piece,
                    axes_, margin_, lb);
    for (std::size_t j = 0; j < piece; ++j) {
      ids[live] = static_cast<std::uint32_t>(begin + at + j);
      live += !(lb[j] >= threshold);
    }
  }
  return live;
}

std::size_t Sketch::survivors_of(const Query& query, double threshold, const std::uint32_t* ids,
                                 std::size_t count, std::uint32_t* out) const {
  double lb[kPiece];
  std::size_t live = 0;
  for (std::size_t at = 0; at < count; at += kPiece) {
    const std::size_t piece = std::min(kPiece, count - at);
    const std::uint32_t* piece_ids = ids + at;
    records::bounds(metric_, query.record.data(), records_.data(), stride(), piece_ids, piece,
                    axes_, margin_, lb);
    // Every id of the piece was read above, so out may overwrite ids here.
    for (std::size_t j = 0; j < piece; ++j) {
      out[live] = piece_ids[j];
      live += !(lb[j] >= threshold);
    }
  }
  return live;
}

}  // namespace tarsim::sketch
