// One screen resolution of the Android display and the density that goes with
// it: an entry of a screen-size band of the global configuration.
#pragma once

#include <cstdint>

#include "common/config/model/json_fields.h"

#define CONFIG_DPI_GEAR_MEMBERS(M)         \
  M(REQ, std::int32_t, width, "width")     \
  M(REQ, std::int32_t, height, "height")   \
  M(REQ, std::int32_t, dpi, "dpi")

struct DpiGear {
  CONFIG_RECORD(DpiGear, CONFIG_DPI_GEAR_MEMBERS)
};
