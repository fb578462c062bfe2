// The crash record the handler writes: one JSON object per crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sdk/vexil/handler_protocol_posix.h"

namespace crash_handler {

struct Frame {
  std::uint64_t pc = 0;
  std::string function;  // demangled; empty when unknown
  std::string module;    // file of the module holding pc
  std::uint64_t module_offset = 0;
  std::string source_file;
  int line = 0;
};

// `registration` is what the agent last sent (component, versions, custom
// values, process registration, record limit). The backtrace is cut from
// its outer end, then the custom values are dropped, until the text fits
// the limit; "truncated" says so. Empty when not even the essentials fit.
std::string BuildCrashRecord(const nlohmann::json& registration,
                             const vexil::protocol::CrashMessage& crash,
                             const std::vector<Frame>& frames, std::int64_t time_ms,
                             std::uint64_t limit);

std::string SignalName(int signo);

// Backtrace of thread `tid` of process `pid`, read through ptrace.
std::vector<Frame> ReadBacktrace(int pid, int tid, std::string* error);

}  // namespace crash_handler
