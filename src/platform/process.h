// Processes: enumerate, open, wait, terminate, exit codes, image paths.
// A process handle is an opaque raw value like a Windows HANDLE; its owner is
// the move-only ProcessHandle. On POSIX the handle holds a pidfd, so an opened
// process can never be confused with a later one that reuses its id.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/result.h"
#include "platform/scoped_generic.h"

namespace platform {

using Pid = std::uint32_t;
using RawProcess = void*;

// Access rights, Windows values. A right missing from the handle makes the
// matching operation fail with kErrorAccessDenied, as on Windows.
inline constexpr std::uint32_t kProcessTerminate = 0x0001;
inline constexpr std::uint32_t kProcessQueryInformation = 0x0400;
inline constexpr std::uint32_t kProcessQueryLimitedInformation = 0x1000;
inline constexpr std::uint32_t kSynchronize = 0x100000;
inline constexpr std::uint32_t kProcessAllAccess = 0x1FFFFF;

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

// Pseudo handle of the calling process; never closed, valid everywhere.
RawProcess CurrentProcess();

// 0, or 6 for a handle that is not open (closed already, never opened,
// forged). Closing CurrentProcess() does nothing, as on Windows.
ErrorCode CloseProcess(RawProcess process);

// Raw handles are table entries, not pointers: any value may be passed to
// any call, and one that is not an open handle gives 6 (kErrorInvalidHandle).
struct ProcessHandleTraits {
  static RawProcess InvalidValue() { return nullptr; }
  static void Free(RawProcess process) { CloseProcess(process); }
};

// The move-only owner of a process handle.
class ProcessHandle : public ScopedGeneric<RawProcess, ProcessHandleTraits> {
 public:
  using ScopedGeneric::ScopedGeneric;
  bool valid() const { return is_valid(); }
};

struct ProcessEntry {
  Pid pid = 0;
  Pid parent_pid = 0;
  std::wstring exe_file;  // file name of the image, no directory
};

// Calls `visit` once per running process (exited ones excluded) until it
// returns false. Entries that cannot be read are skipped. Returns 0 or the
// error that kept the list from being read at all.
// Linux: the name is the file name of the image; when that cannot be read
// (another user's process) the file name of argv[0]. A file replaced or
// deleted under a running process keeps its name. Kernel threads have no
// image and are not listed.
// Entries that cannot be read for another reason than having just ended are
// told to platform::diagnostics (once per process), as is a list that
// cannot be read at all.
ErrorCode EnumerateProcesses(const std::function<bool(const ProcessEntry&)>& visit);
#ifndef _WIN32
// The same over another /proc tree (tests feed it damaged entries).
ErrorCode EnumerateProcessesIn(const std::filesystem::path& proc_root,
                               const std::function<bool(const ProcessEntry&)>& visit);
#endif

// The running processes at one moment, like a tool-help snapshot: one walk
// of the list that several look-ups share. Entries may have ended by the time
// they are acted on; opening or waiting tells.
struct ProcessSnapshot {
  std::vector<ProcessEntry> entries;
};
Result<ProcessSnapshot> TakeProcessSnapshot();

// Opens a process: the handle, or 87 when no such process exists (a thread
// id and a kernel thread are none either), other errors as they come.
Result<ProcessHandle> OpenProcess(Pid pid, std::uint32_t access);

// kWaitObject0 when the process has ended, kWaitTimeout, or kWaitFailed (then
// *error, if given, says why).
std::uint32_t WaitForProcess(RawProcess process, std::uint32_t timeout_ms,
                             ErrorCode* error = nullptr);

// Terminates through the replaceable terminate function. Returns 0 or the
// error. Needs kProcessTerminate. As on Windows, a process that has already
// ended cannot be terminated (5), and terminating CurrentProcess() exits
// this process with the code at once.
using TerminateFunction = ErrorCode (*)(RawProcess process, std::uint32_t exit_code);
ErrorCode TerminateProcess(RawProcess process, std::uint32_t exit_code);
// The OS implementation, whatever is installed.
ErrorCode RealTerminateProcess(RawProcess process, std::uint32_t exit_code);
// Installs `fn` (null restores the real one) and returns the previous one.
TerminateFunction ExchangeTerminateFunction(TerminateFunction fn);
// Sends the system terminate calls that the modules loaded now import (the
// program's own and its libraries') through the installed terminate function
// too, so a library that ends a process directly is seen like platform
// callers. Windows: rewrites `TerminateProcess` in their import tables; a
// module loaded later keeps its own. POSIX: libraries have no such call to
// route; nothing to do. Returns 0 or the error that stopped it. Once is
// enough; later calls do nothing more.
ErrorCode RouteImportedTerminateCalls();

// kStillActive while the process runs. After it ends: the real code for our
// own children (a child we terminated reports the code passed to terminate),
// 0 for other processes, whose code the OS does not tell us. Needs a query
// right. Linux: a child ended by a signal we did not send reports 128 + the
// signal; another process terminated through this handle reports the code
// passed to terminate.
Result<std::uint32_t> GetExitCode(RawProcess process);

Pid GetProcessId(RawProcess process);  // 0 on a bad handle

// Full image path. Needs a query right; 5 without it, 87 when gone.
Result<std::filesystem::path> QueryImagePath(RawProcess process);

// Variables of a process's environment as it was at its start: values[i]
// answers names[i] (nullopt when absent). 5 when we may not read it; 87 when
// there is no such process. `empty` tells whether the environment held
// nothing at all. A process caught in the middle of its exec, whose
// environment is not in place yet, is waited for (200 ms at most) rather than
// answered as empty.
struct EnvironmentValues {
  std::vector<std::optional<std::string>> values;
  bool empty = false;
};
Result<EnvironmentValues> ReadProcessEnvironmentVariables(Pid pid,
                                                          const std::vector<std::string_view>& names);
// One variable; results as above.
Result<std::optional<std::string>> ReadProcessEnvironmentVariable(Pid pid, std::string_view name);

// The current directory of a process (what a relative path of its own is
// taken against). 5 when we may not read it; 87 when there is no such process.
Result<std::filesystem::path> QueryProcessWorkingDirectory(Pid pid);

Pid CurrentProcessId();
std::filesystem::path CurrentExecutablePath();

// Monotonic milliseconds, like GetTickCount64.
std::uint64_t TickCount64();
void SleepMs(std::uint32_t ms);

}  // namespace platform
