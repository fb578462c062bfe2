// Process facts and waits of the base library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "base/win_types.h"

namespace base::process {

std::filesystem::path GetCurrentExeFullPath();
std::wstring GetCurrentExePath();  // directory of the executable
std::wstring GetCurrentExeName();  // file name of the executable

// Image path of an opened process; empty when it cannot be read.
std::filesystem::path ProcessImagepath(HANDLE process);

// Whether a process belongs to this product machine. On a real machine every
// process does. Here a product home ($QUARRION_HOME) stands for a machine, so
// a process started under another home belongs to another machine and is
// never listed or ended from this one; a process whose environment cannot be
// read is taken to be on this machine.
bool IsOnThisMachine(DWORD pid);

// One call per running process of this machine until the callback returns
// false.
bool EnumProcesses(const std::function<bool(const PROCESSENTRY32W&)>& callback);

// Every process of this machine whose image file name is one of `names`
// (case-insensitive), in list order, with the name it matched, until `visit`
// returns false. Only the entries that match are checked for the machine, so
// this costs one walk of the list however many processes run.
bool EnumProcessesNamed(std::span<const std::wstring_view> names,
                        const std::function<bool(const PROCESSENTRY32W&, std::wstring_view)>& visit);

// While one is alive, this thread's EnumProcesses, EnumProcessesNamed and
// system::KillProcess answer from the one process list taken when it was
// made, as a tool-help snapshot serves several look-ups, instead of walking
// the list afresh per call. An entry that has ended since is skipped when it
// comes up; a process started since is not seen. The innermost scope serves.
class ScopedProcessSnapshot {
 public:
  ScopedProcessSnapshot();
  ~ScopedProcessSnapshot();
  ScopedProcessSnapshot(const ScopedProcessSnapshot&) = delete;
  ScopedProcessSnapshot& operator=(const ScopedProcessSnapshot&) = delete;

  struct State;

 private:
  State* state_;
};

// Waits for the process to exit. A pid of 0 or of no process returns at once.
// Returns true when the process is gone.
bool WaitForProcessUntilExit(DWORD pid, DWORD timeout_ms);

}  // namespace base::process
