// The one read of the environment and the one default configuration.
#include "sketch/config.hpp"

#include <cstdlib>
#include <cstring>

namespace tarsim::sketch {

bool bounds_enabled() {
  static const bool on = [] {
    const char* value = std::getenv("TARSIM_BOUNDS");
    return value == nullptr || std::strcmp(value, "off") != 0;
  }();
  return on;
}

Config default_config() {
  Config config;
  config.enabled = bounds_enabled();
  return config;
}

}  // namespace tarsim::sketch
