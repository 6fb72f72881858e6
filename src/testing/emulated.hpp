// Whether the tests run under an emulator (the environment variable
// TARSIM_TESTS_EMULATED set and not "0", as scripts/test_aarch64.sh sets it
// under qemu). The heaviest property tests then run fewer or smaller cases:
// they check the same properties, and an emulated run is there to show that
// the code behaves alike on another processor, not to search further.
#pragma once

#include <cstdlib>
#include <cstring>

namespace tarsim::testing {

inline bool emulated() {
  const char* value = std::getenv("TARSIM_TESTS_EMULATED");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// `full`, or `small` under an emulator.
template <class T>
T sized(T full, T small) {
  return emulated() ? small : full;
}

}  // namespace tarsim::testing
