// Waiting for product processes to end, and ending them when they will not:
// a polite wait in 200 ms slices while the caller's predicate allows, then,
// only when the caller passed a ForceKillInfo, termination with one retry on
// access denied. Each handled process produces a "quit_process" event, each
// termination attempt a "kill_process" event.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "base/win_types.h"
#include "platform/process.h"

namespace vm::utils {

enum FORCE_QUIT_RESULT : int {
  FORCE_QUIT_EXITED = 0,    // nothing found, or it ended within the wait
  FORCE_QUIT_KILLED = 1,    // terminated (or found already ended when refused)
  FORCE_QUIT_TIMEOUT = -1,  // wait ran out and termination was not allowed
  FORCE_QUIT_FAILED = -2,   // termination failed or did not take effect in time
};

// Passed by pointer; null means never terminate.
struct ForceKillInfo {
  const char* where = "";  // calling operation, reported as the location
  const char* file = "";
  std::int32_t line = 0;
  const char* msg = "";
};

// Called with 0 after every 200 ms slice in which the process did not end;
// true waits one more slice.
using KeepWaiting = std::function<bool(unsigned)>;

// The usual predicate: sleep `ms`, then answer whether TickCount64() is still
// below `deadline_tick`.
KeepWaiting KeepWaitingUntil(std::uint64_t deadline_tick);

inline constexpr unsigned long kAccessWait = 0x100400;       // SYNCHRONIZE | QUERY_INFORMATION
inline constexpr unsigned long kAccessTerminate = 0x100401;  // ... | TERMINATE

// Lexically normal form without a leading \\?\ or \\.\ prefix.
std::filesystem::path NormalizePath(const std::filesystem::path& path);

// One already opened process (the caller keeps the handle). Null handle: 0 at once.
FORCE_QUIT_RESULT ForceQuitProcess(platform::RawProcess process, const KeepWaiting& keepWaiting,
                                   const wchar_t* name, unsigned long pid,
                                   const ForceKillInfo* info);

FORCE_QUIT_RESULT ForceQuitProcessImpl(platform::RawProcess process,
                                       const KeepWaiting& keepWaiting, const wchar_t* name,
                                       unsigned long pid, const ForceKillInfo* info);

// Terminate and confirm; `info` must not be null.
FORCE_QUIT_RESULT KillProcess(platform::RawProcess process, const KeepWaiting& keepWaiting,
                              const wchar_t* name, unsigned long pid, const ForceKillInfo* info,
                              bool retry_on_fail);

// Finds the first running process named `name` (case-insensitive) that
// `onMatch` accepts, then ForceQuitProcess on it. Nothing found: 0.
FORCE_QUIT_RESULT EnumAndWaitProcess(
    const wchar_t* name, unsigned long access,
    const std::function<bool(platform::ProcessHandle&, PROCESSENTRY32W&)>& onMatch,
    const KeepWaiting& keepWaiting, const ForceKillInfo* info);

// Asks the running emulator to quit by running its executable with --quit,
// then waits for it (and terminates it when `info` is given).
FORCE_QUIT_RESULT ForceQuitNimbrel(const KeepWaiting& keepWaiting, const ForceKillInfo* info);

}  // namespace vm::utils
