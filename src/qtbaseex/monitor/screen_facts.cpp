#include "qtbaseex/monitor/screen_facts.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <cmath>

#include "qtbaseex/helpers.h"

namespace qtbaseex::monitor {

bool IsRealScreenPlatform(const QString& platform_name) {
  // Qt names a plugin by its key, arguments cut off ("offscreen:fontconfig").
  const QString name = platform_name.section(QLatin1Char(':'), 0, 0).trimmed().toLower();
  return !name.isEmpty() && name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

const QScreen* RealPrimaryScreen() {
  // QGuiApplication's statics must not be touched without the object.
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
  if (!IsRealScreenPlatform(QGuiApplication::platformName())) return nullptr;
  return QGuiApplication::primaryScreen();
}

std::optional<ScreenFacts> ReadPrimaryScreen() {
  const QScreen* screen = RealPrimaryScreen();
  if (screen == nullptr) return std::nullopt;
  ScreenFacts facts;
  // Device pixels: the screen as the display settings list it.
  const qreal ratio = screen->devicePixelRatio();
  facts.width = static_cast<int>(std::lround(screen->geometry().width() * ratio));
  facts.height = static_cast<int>(std::lround(screen->geometry().height() * ratio));
  facts.logical_dpi_x = screen->logicalDotsPerInchX() * ratio;
  facts.logical_dpi = static_cast<int>(std::lround(facts.logical_dpi_x));
  facts.width_mm = screen->physicalSize().width();
  facts.height_mm = screen->physicalSize().height();
  facts.refresh_rate = screen->refreshRate();
  facts.physical_inch = GetScreenPhysicalInch();
  return facts;
}

ScreenFacts GetPrimaryScreenFacts() { return ReadPrimaryScreen().value_or(ScreenFacts{}); }

int GetPrimaryScreenWidth() { return GetPrimaryScreenFacts().width; }
int GetPrimaryScreenHeight() { return GetPrimaryScreenFacts().height; }
int GetScreenLogicalDpiX() { return GetPrimaryScreenFacts().logical_dpi; }

}  // namespace qtbaseex::monitor
