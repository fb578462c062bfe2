// The crash record the handler writes: one JSON object per crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace crash_handler {

struct Frame {
  std::uint64_t pc = 0;
  std::string function;  // demangled; empty when unknown
  std::string module;    // file of the module holding pc
  std::uint64_t module_offset = 0;
  std::string source_file;
  int line = 0;
};

// What the crash message told, in the record's own terms: on POSIX the
// signal, its si_code and name; on Windows the exception code, its access
// kind and name.
struct CrashFacts {
  std::int64_t pid = 0;
  std::int64_t tid = 0;
  std::int64_t signal = 0;
  std::int32_t signal_code = 0;
  std::uint64_t fault_address = 0;
  std::string signal_name;
};

// `registration` is what the agent last sent (component, versions, custom
// values, process registration, record limit). The backtrace is cut from
// its outer end, then the custom values are dropped, until the text fits
// the limit; "truncated" says so. Empty when not even the essentials fit.
std::string BuildCrashRecord(const nlohmann::json& registration, const CrashFacts& crash,
                             const std::vector<Frame>& frames, std::int64_t time_ms,
                             std::uint64_t limit);

}  // namespace crash_handler
