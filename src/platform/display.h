// The primary screen as the desktop's metrics and the whole-screen device
// context describe it. One call is one snapshot: the device context is
// obtained and released within it, so any thread may ask.
#pragma once

#include <optional>

#include "platform/result.h"

namespace platform::display {

// What the screen's device context answers.
struct DeviceCaps {
  int refresh_rate = 0;   // Hz; 0 or 1 stand for the hardware's default
  int logical_dpi_x = 0;  // pixels per logical inch, 96 at 100 %
  int width_mm = 0;       // physical size
  int height_mm = 0;
};

struct Screen {
  int width = 0;  // pixels, from the desktop's metrics
  int height = 0;
  // Unset when no device context of the screen could be obtained.
  std::optional<DeviceCaps> caps;
};

// 50 on systems whose desktop keeps no such metrics (there the screen comes
// from the GUI toolkit, on its own thread).
Result<Screen> ReadScreen();

}  // namespace platform::display
