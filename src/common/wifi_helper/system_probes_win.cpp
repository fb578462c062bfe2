// The probes' sources on Windows: the desktop's metrics and the screen's
// device context, the system's power status and remote-session metrics.
#include "common/wifi_helper/system_probes.h"
#include "platform/display.h"
#include "platform/session.h"

namespace system_probes {

// --- screen --------------------------------------------------------------------

namespace {

// The screen with what its device context says; unset without one.
std::optional<ScreenFacts> ScreenWithDeviceContext() {
  const auto screen = platform::display::ReadScreen();
  if (!screen || !screen->caps) return std::nullopt;
  ScreenFacts facts;
  facts.width = screen->width;
  facts.height = screen->height;
  facts.refresh_rate = screen->caps->refresh_rate;
  facts.logical_dpi_x = screen->caps->logical_dpi_x;
  facts.width_mm = screen->caps->width_mm;
  facts.height_mm = screen->caps->height_mm;
  return facts;
}

}  // namespace

std::string GetScreenResolutionText() {
  // The desktop's metrics alone, with or without a device context.
  const auto screen = platform::display::ReadScreen();
  if (!screen) return ResolutionText(std::nullopt);
  ScreenFacts size;
  size.width = screen->width;
  size.height = screen->height;
  return ResolutionText(size);
}

std::string GetRefreshRateText() { return RefreshRateText(ScreenWithDeviceContext()); }
std::string GetScreenInchText() { return ScreenInchText(ScreenWithDeviceContext()); }

std::string GetCurrentDpiText() {
  // The device context is asked only when the product stored no text.
  const std::wstring stored = StoredCurrentDpi();
  return DpiText(stored, stored.empty() ? ScreenWithDeviceContext() : std::nullopt);
}

// --- power ---------------------------------------------------------------------

void GetPowerStatus(PowerRecord& record) {
  const auto status = platform::machine::ReadSystemPowerStatus();
  if (!status) return;  // the record keeps its starting values
  record = PowerFromSystemStatus(*status);
}

// --- remote desktop ------------------------------------------------------------

int ProbeRemoteDesktop() {
  return ProbeRemoteDesktop(
      [] {
        const auto metrics = platform::ReadRemoteSessionMetrics();
        return metrics && (metrics->remote_session || metrics->remote_control);
      },
      WalkRunningImages);
}

}  // namespace system_probes
