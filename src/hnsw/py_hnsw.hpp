// The Python class PyHNSW.
#pragma once

#include "boundary.hpp"

namespace tarsim::py {

// The PyHNSW class object, created on first use and kept for the process;
// nullptr with an exception set when it cannot be created.
PyTypeObject* hnsw_type();

}  // namespace tarsim::py
