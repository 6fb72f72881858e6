// Must be rejected by the target include check: <map> is first reached,
// through a project header, after the target pragma.
#include <vector>

#pragma GCC push_options
#pragma GCC target("avx2")

#include "late_include/late_include.hpp"

#pragma GCC pop_options
