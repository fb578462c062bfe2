// Runs test code in a mount namespace of its own, so that it can bind-mount
// folders without touching the machine's mounts. The namespace belongs to one
// thread (and the threads it starts); its mounts vanish when that thread ends.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testenv {

// Runs `body` on a new thread inside a private mount namespace. Returns why
// it could not (empty when `body` ran): mounting needs root.
inline std::string RunWithPrivateMounts(const std::function<void()>& body) {
  if (::geteuid() != 0) return "mounting needs root";
  std::string why;
  std::thread thread([&] {
    if (::unshare(CLONE_NEWNS) != 0) {
      why = std::string("unshare: ") + std::strerror(errno);
      return;
    }
    // Keep our mounts from propagating back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why = std::string("private mounts: ") + std::strerror(errno);
      return;
    }
    body();
  });
  thread.join();
  return why;
}

inline bool BindMount(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

inline void Unmount(const std::filesystem::path& at) { ::umount2(at.c_str(), MNT_DETACH); }

// Removes every mount at or below `dir` in this thread's namespace, wherever
// it has moved to since it was made (a folder holding a mount point may have
// been renamed). Run it before removing `dir` with anything that crosses
// mounts, such as std::filesystem::remove_all.
inline void UnmountAllBelow(const std::filesystem::path& dir) {
  const std::string prefix = dir.string();
  for (int round = 0; round < 100; ++round) {
    std::vector<std::string> points;
    std::ifstream info("/proc/thread-self/mountinfo");
    for (std::string line; std::getline(info, line);) {
      std::istringstream fields(line);
      std::string id, parent, device, root, point;
      fields >> id >> parent >> device >> root >> point;
      if (point == prefix || point.rfind(prefix + "/", 0) == 0) points.push_back(point);
    }
    if (points.empty()) return;
    for (const std::string& point : points) ::umount2(point.c_str(), MNT_DETACH);
  }
}

}  // namespace testenv
