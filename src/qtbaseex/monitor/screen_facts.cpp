#include "qtbaseex/monitor/screen_facts.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <cmath>

#include "qtbaseex/helpers.h"

namespace qtbaseex::monitor {
namespace {

const QScreen* PrimaryScreen() {
  // QGuiApplication's statics must not be touched without the object.
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
  return QGuiApplication::primaryScreen();
}

}  // namespace

ScreenFacts GetPrimaryScreenFacts() {
  ScreenFacts facts;
  const QScreen* screen = PrimaryScreen();
  if (screen == nullptr) return facts;
  // Device pixels: the screen as the display settings list it.
  const qreal ratio = screen->devicePixelRatio();
  facts.width = static_cast<int>(std::lround(screen->geometry().width() * ratio));
  facts.height = static_cast<int>(std::lround(screen->geometry().height() * ratio));
  facts.logical_dpi = static_cast<int>(std::lround(screen->logicalDotsPerInchX() * ratio));
  facts.physical_inch = GetScreenPhysicalInch();
  return facts;
}

int GetPrimaryScreenWidth() { return GetPrimaryScreenFacts().width; }
int GetPrimaryScreenHeight() { return GetPrimaryScreenFacts().height; }
int GetScreenLogicalDpiX() { return GetPrimaryScreenFacts().logical_dpi; }

}  // namespace qtbaseex::monitor
