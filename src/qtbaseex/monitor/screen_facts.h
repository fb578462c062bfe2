// The primary screen as the display settings describe it: its size in
// pixels and its logical DPI (the scaling the user chose; 96 is 100 %).
// Qt answers them; without a GUI application or a screen both are 0.
#pragma once

namespace qtbaseex::monitor {

struct ScreenFacts {
  int width = 0;         // pixels
  int height = 0;        // pixels
  int logical_dpi = 0;   // horizontal logical DPI
  double physical_inch = 0.0;  // diagonal
};

ScreenFacts GetPrimaryScreenFacts();
// The primary screen's width and height in pixels.
int GetPrimaryScreenWidth();
int GetPrimaryScreenHeight();
// The logical DPI of the screen (the whole-screen device context's analog).
int GetScreenLogicalDpiX();

}  // namespace qtbaseex::monitor
