// The primary screen as the display settings describe it: its size in
// pixels, its logical DPI (the scaling the user chose; 96 is 100 %), its
// physical size and refresh rate. Qt answers them, and only a real display's
// answers count: the headless platforms (offscreen, minimal) make up a screen
// of their own (800 x 600, 10 inches, 60 Hz) that no user ever saw, so under
// them, as without a GUI application or a screen, there is no screen.
// Every reader of screen facts goes through here.
#pragma once

#include <QString>
#include <optional>

class QScreen;

namespace qtbaseex::monitor {

struct ScreenFacts {
  int width = 0;               // device pixels
  int height = 0;              // device pixels
  int logical_dpi = 0;         // horizontal logical DPI, whole dots per inch
  double logical_dpi_x = 0.0;  // the same as Qt reports it
  double physical_inch = 0.0;  // diagonal
  double width_mm = 0.0;       // physical size
  double height_mm = 0.0;
  double refresh_rate = 0.0;   // Hz
};

// Whether a Qt platform plugin of this name shows a real display.
bool IsRealScreenPlatform(const QString& platform_name);

// The primary screen when it is a real one; null otherwise. GUI thread only.
const QScreen* RealPrimaryScreen();

// The real primary screen's facts; unset when there is none. GUI thread only.
std::optional<ScreenFacts> ReadPrimaryScreen();

// As ReadPrimaryScreen, all zeros without a real screen.
ScreenFacts GetPrimaryScreenFacts();
// The primary screen's width and height in pixels.
int GetPrimaryScreenWidth();
int GetPrimaryScreenHeight();
// The logical DPI of the screen (the whole-screen device context's analog).
int GetScreenLogicalDpiX();

}  // namespace qtbaseex::monitor
