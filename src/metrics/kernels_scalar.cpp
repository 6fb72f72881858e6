// Scalar kernels: one stored vector per "register" (scalar_lanes.hpp), the
// groups of a block run as independent sums side by side. Built for the
// baseline instruction set of the target, so every processor can run them.
#include "metrics/kernels.hpp"

#include "metrics/kernel_body.hpp"

namespace tarsim::metrics::kernels {

constinit const Table scalar_table =
    table_of<ScalarLanes, Tuning{.score_groups = 4, .bounded_groups = 4, .bounded_prefetch = false}>();

}  // namespace tarsim::metrics::kernels
