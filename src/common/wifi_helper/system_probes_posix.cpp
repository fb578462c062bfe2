// The probes' sources here: Qt's screen, taken on its GUI thread, the power
// supplies the kernel publishes, and the session's variables.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QThread>

#include <cstdlib>

#include "common/wifi_helper/system_probes.h"
#include "qtbaseex/monitor/screen_facts.h"

namespace system_probes {

// --- screen --------------------------------------------------------------------

namespace {

std::mutex g_screen_mutex;
std::optional<ScreenFacts> g_screen;

bool OnGuiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && qobject_cast<const QGuiApplication*>(app) != nullptr &&
         QThread::currentThread() == app->thread();
}

std::optional<ScreenFacts> Screen() {
  if (OnGuiThread()) RefreshScreenFacts();
  return CurrentScreenFacts();
}

}  // namespace

void RefreshScreenFacts() {
  if (!OnGuiThread()) return;  // QScreen belongs to the GUI thread
  // No real screen (a headless platform's made-up one included) is no
  // screen device context: the texts are the fallbacks, never invented.
  std::optional<ScreenFacts> facts;
  if (const auto screen = qtbaseex::monitor::ReadPrimaryScreen()) {
    ScreenFacts f;
    f.width = screen->width;
    f.height = screen->height;
    f.refresh_rate = screen->refresh_rate;
    f.logical_dpi_x = screen->logical_dpi_x;
    f.width_mm = screen->width_mm;
    f.height_mm = screen->height_mm;
    facts = f;
  }
  std::lock_guard lock(g_screen_mutex);
  g_screen = facts;
}

std::optional<ScreenFacts> CurrentScreenFacts() {
  std::lock_guard lock(g_screen_mutex);
  return g_screen;
}

std::string GetScreenResolutionText() { return ResolutionText(Screen()); }
std::string GetRefreshRateText() { return RefreshRateText(Screen()); }
std::string GetScreenInchText() { return ScreenInchText(Screen()); }
std::string GetCurrentDpiText() { return DpiText(StoredCurrentDpi(), Screen()); }

// --- power ---------------------------------------------------------------------

void GetPowerStatus(PowerRecord& record) { GetPowerStatus(platform::machine::Reader(), record); }

// --- remote desktop ------------------------------------------------------------

int ProbeRemoteDesktop() {
  return ProbeRemoteDesktop(
      [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
      },
      WalkRunningImages);
}

}  // namespace system_probes
