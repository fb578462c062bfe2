// What the benchmarks that run the built programs share: starting a program,
// running it to its end, and a fresh product home per case.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/multi_inst.h"
#include "platform/launch.h"
#include "platform/process.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The middle value of a benchmark's rounds (the upper middle of an even count).
inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Starts `program` with a command line of `parameters`; a program that
// cannot start ends the benchmark, its figures would mean nothing.
inline platform::ProcessHandle Start(const std::filesystem::path& program, const std::wstring& parameters) {
  platform::LaunchRequest request;
  request.file = program;
  request.parameters = parameters;
  request.want_handle = true;
  platform::ProcessHandle handle;
  if (platform::Launch(request, &handle) != 0) {
    std::fprintf(stderr, "cannot start %s\n", program.c_str());
    std::exit(1);
  }
  return handle;
}

// Runs `program` to its end; its exit code, or unset when it was still
// running after `timeout_ms` (it is then terminated).
inline std::optional<std::uint32_t> RunToEnd(const std::filesystem::path& program, const std::wstring& parameters,
                                             std::uint32_t timeout_ms) {
  platform::ProcessHandle h = Start(program, parameters);
  if (platform::WaitForProcess(h.get(), timeout_ms) != platform::kWaitObject0) {
    platform::TerminateProcess(h.get(), 1);
    return std::nullopt;
  }
  return platform::GetExitCode(h.get()).value_or(platform::kStillActive);
}

// A fresh product home `scratch`/`name` for this process and the programs it starts.
inline std::filesystem::path NewHome(const std::filesystem::path& scratch, const std::string& name) {
  const std::filesystem::path home = scratch / name;
  std::filesystem::create_directories(home);
  ::setenv("QUARRION_HOME", home.c_str(), 1);
  MultiInst::Instance()->Init(L"Quarrion", 0);
  return home;
}

}  // namespace bench
