// A real OpenGL context on this machine (EGL, without a window; Mesa's
// software renderer counts), for the stand-in programs that measure OpenGL.
#pragma once

#include <string>

namespace opengl_probe {

struct OpenglFacts {
  std::string vendor;
  std::string renderer;
  std::string version;
  int major = 0;
  int minor = 0;
};

enum class ProbeError { kNone = 0, kNoDisplay = 1, kNoContext = 2, kNoFunctions = 3, kBadFrame = 4 };

// Makes a context and reads its strings; with `draw`, also clears a small
// frame buffer to a colour and reads it back.
ProbeError Probe(OpenglFacts* facts, bool draw);

// The assistant's probe: measures, stores the values in the user's graphics
// cache of the product registry and returns 1000, or a code below 1000 that
// says which step failed.
int CheckOpenglProcess();

}  // namespace opengl_probe
