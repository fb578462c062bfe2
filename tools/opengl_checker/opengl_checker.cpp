// The OpenGL demo: exits 0 when a context can be made and draws a frame
// that reads back right; otherwise the failed step's number (1 no display,
// 2 no context, 3 no GL functions, 4 wrong frame). Prints what it found.
#include <cstdio>

#include "opengl_probe.h"

int main() {
  opengl_probe::OpenglFacts facts;
  const auto error = opengl_probe::Probe(&facts, true);
  std::printf("vendor=%s\nrenderer=%s\nversion=%s\ncore=%d.%d\n", facts.vendor.c_str(),
              facts.renderer.c_str(), facts.version.c_str(), facts.major, facts.minor);
  return static_cast<int>(error);
}
