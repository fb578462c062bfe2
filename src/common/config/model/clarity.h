// Resolution presets of an Android display, largest first. 0 in the
// registry means that no preset is set.
#pragma once

#include <cstdint>

namespace config {

enum class Clarity : std::int32_t {
  k3840x2160 = 1,
  k2560x1440 = 2,
  k1920x1080 = 3,
  k1600x900 = 4,
  k1280x720 = 5,
};

}  // namespace config
