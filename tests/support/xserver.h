// A real X server (Xvfb) with a chosen screen size and DPI on a free display
// of this machine, ended with its owner.
#pragma once

#include <filesystem>

#include "support/child.h"

namespace testenv {

class XServer {
 public:
  static inline const std::filesystem::path kProgram = "/usr/bin/Xvfb";

  static bool Installed() { return std::filesystem::exists(kProgram); }

  XServer() = default;
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // False when no display could be taken within the server's start time.
  bool Start(int width, int height, int dpi);
  // The display number; -1 before a successful Start.
  int display() const { return display_; }

 private:
  Child process_;
  int display_ = -1;
};

}  // namespace testenv
