#include "support/xserver.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <system_error>
#include <thread>

namespace testenv {

namespace fs = std::filesystem;

namespace {

fs::path LockFile(int display) { return "/tmp/.X" + std::to_string(display) + "-lock"; }
fs::path Socket(int display) { return "/tmp/.X11-unix/X" + std::to_string(display); }

}  // namespace

XServer::~XServer() {
  process_.Kill();
  // Killed outright, the server leaves its lock and socket behind.
  if (display_ >= 0) {
    std::error_code ec;
    fs::remove(LockFile(display_), ec);
    fs::remove(Socket(display_), ec);
  }
}

bool XServer::Start(int width, int height, int dpi) {
  // Test programs running side by side start their search at different displays.
  for (int n = 100 + ::getpid() % 400; n < 1000; ++n) {
    if (fs::exists(LockFile(n))) continue;
    ChildOptions options;
    options.arguments = {":" + std::to_string(n),
                         "-screen",
                         "0",
                         std::to_string(width) + "x" + std::to_string(height) + "x24",
                         "-dpi",
                         std::to_string(dpi),
                         "-nolisten",
                         "tcp"};
    process_ = StartChild(kProgram, options);
    if (!process_.valid()) return false;
    // Ready once its socket exists; a server that lost the race for the
    // display ends, and the next display is tried.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && !process_.Wait(0)) {
      if (fs::exists(Socket(n))) {
        display_ = n;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    process_.Kill();
  }
  return false;
}

}  // namespace testenv
