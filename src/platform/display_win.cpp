// The screen on Windows: GetSystemMetrics for the size, GetDeviceCaps of the
// whole screen's device context for the rest.
#include <windows.h>

#include "platform/display.h"

namespace platform::display {

Result<Screen> ReadScreen() {
  Screen screen;
  screen.width = ::GetSystemMetrics(SM_CXSCREEN);
  screen.height = ::GetSystemMetrics(SM_CYSCREEN);
  if (HDC dc = ::GetDC(nullptr); dc != nullptr) {
    DeviceCaps caps;
    caps.refresh_rate = ::GetDeviceCaps(dc, VREFRESH);
    caps.logical_dpi_x = ::GetDeviceCaps(dc, LOGPIXELSX);
    caps.width_mm = ::GetDeviceCaps(dc, HORZSIZE);
    caps.height_mm = ::GetDeviceCaps(dc, VERTSIZE);
    ::ReleaseDC(nullptr, dc);
    screen.caps = caps;
  }
  return screen;
}

}  // namespace platform::display
