// The Python class PyFlat.
#pragma once

#include "boundary.hpp"

namespace tarsim::py {

// The PyFlat class object, created on first use and kept for the process;
// nullptr with an exception set when it cannot be created.
PyTypeObject* flat_type();

}  // namespace tarsim::py
