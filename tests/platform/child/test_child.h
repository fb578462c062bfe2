// Helpers for tests that start the platform test child (see main.cpp here).
#pragma once

#include <filesystem>
#include <string>

#include "platform/launch.h"
#include "platform/process.h"
#include "support/scoped_env.h"

namespace platform_test {

inline std::filesystem::path ChildPath() { return PLATFORM_TEST_CHILD; }

using testenv::ScopedEnv;

// Waits (bounded, generously) for a file the child writes.
inline bool WaitForFile(const std::filesystem::path& path, std::uint32_t limit_ms = 20000) {
  const std::uint64_t deadline = platform::TickCount64() + limit_ms;
  std::error_code ec;
  while (!std::filesystem::exists(path, ec)) {
    if (platform::TickCount64() > deadline) return false;
    platform::SleepMs(10);
  }
  return true;
}

// Starts a child with a handle that sleeps until it is terminated.
inline platform::ProcessHandle StartSleeper(const std::filesystem::path& file = ChildPath()) {
  ScopedEnv sleep("PLATFORM_CHILD_SLEEP_MS", "forever");
  platform::LaunchRequest request;
  request.file = file;
  request.want_handle = true;
  platform::ProcessHandle handle;
  if (platform::Launch(request, &handle) != platform::kErrorSuccess) return {};
  return handle;
}

// Ends a child a test started, so that none outlives its test.
inline void Finish(platform::ProcessHandle& handle) {
  if (!handle) return;
  platform::RealTerminateProcess(handle.get(), 1);
  platform::WaitForProcess(handle.get(), 20000);
  handle.reset();
}

}  // namespace platform_test
