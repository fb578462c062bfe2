// Every process termination made by this process passes through
// Hook_TerminateProcess, which logs the target and gives the headless VM
// process its fixed exit code.
#pragma once

#include <cstdint>

#include "platform/process.h"

namespace common_hook {

inline constexpr std::uint32_t kHeadlessVmExitCode = 860116224;  // 0x33445500

// Installs the hook once, at start-up; logs a warning when that fails.
void InstallTerminateProcessHook();

void LogTerminateProcess(bool attach_failed, bool commit_failed, long commit_code = 0);

}  // namespace common_hook

platform::ErrorCode Hook_TerminateProcess(platform::RawProcess process, std::uint32_t exit_code);
