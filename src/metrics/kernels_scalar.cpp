// Scalar kernels: the baseline instruction set of the build.
#include "metrics/kernels.hpp"

#include "metrics/lanes_scalar.hpp"
#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table scalar_table =
    table_of<ScalarLanes, Tuning{.score_groups = 4, .bounded_groups = 4, .bounded_prefetch = false}>();

}  // namespace tarsim::metrics::kernels
