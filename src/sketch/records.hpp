// The records of the sketches and the lower bounds computed from them.
//
// The record of a vector x is stride = m + 3 doubles:
//   s[0 .. m)   the computed products of the m basis rows with x
//   s[m]        nu:  an upper bound on the true norm |x|
//   s[m + 1]    rlo: a lower bound on the norm of the part of x outside the
//                    span of the basis (the residual x - B'Bx)
//   s[m + 2]    rhi: an upper bound on that residual norm
// A vector the bounds cannot be proven for (a non-finite component, a huge
// or a tiny magnitude, a zero vector under the cosine) gets NaN in every
// slot: every bound computed from it is NaN, and a NaN bound rules nothing
// out. records.cpp proves the bounds beside the code that computes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "metrics/metrics.hpp"

namespace tarsim::sketch::records {

// The unit roundoff, the relative widening of computed norms, the range of
// magnitudes a record is made for, and the record of an unprovable vector.
constexpr double kU = 0x1p-53;
constexpr double kRel = 0x1p-40;
constexpr double kHuge = 0x1p250;
constexpr double kTiny = 0x1p-250;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// g(n): a bound on the relative error of a computed sum of n products.
double gamma(double n);

// Whether bounds can be proven for a vector of dim values (nonzero: a zero
// vector is not provable either, as for the cosine).
bool provable(const double* x, std::size_t dim, bool nonzero);

// What the bounds of one basis need: the relative margin of the residual
// interval of every record and the metric's margin in the bounds.
struct Margins {
  double residual_slack = 0.0;
  double margin = 0.0;
};
Margins margins_for(metrics::Metric metric, std::size_t dim, std::size_t m, double eps);

// The record of x (dim values) into out (m + 3 doubles), for the basis of m
// rows of dim values and the residual slack of its margins.
void compute(const double* basis, std::size_t m, std::size_t dim, bool cosine,
             double residual_slack, const double* x, double* out);

// The bounds of `count` records against the query's record q into lb:
// record j at base + (ids ? ids[j] : j) * stride, in threshold units
// (squared for the euclidean distance).
void bounds(metrics::Metric metric, const double* q, const double* base, std::size_t stride,
            const std::uint32_t* ids, std::size_t count, std::size_t m, double margin,
            double* lb);

}  // namespace tarsim::sketch::records
