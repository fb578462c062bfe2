// Reading the crashed thread from outside, per system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crash_record.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace crash_handler {

#ifdef _WIN32
std::string ExceptionName(std::uint32_t code);
// Backtrace of thread `tid` of `process` at its exception, from the
// EXCEPTION_POINTERS at `pointers` in that process (DbgHelp's StackWalk64).
std::vector<Frame> ReadBacktrace(HANDLE process, std::uint32_t tid, std::uint64_t pointers,
                                 std::string* error);
#else
std::string SignalName(int signo);
// Backtrace of thread `tid` of process `pid`, read through ptrace.
std::vector<Frame> ReadBacktrace(int pid, int tid, std::string* error);
#endif

}  // namespace crash_handler
