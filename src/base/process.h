// Process facts and waits of the base library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

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

// Waits for the process to exit. A pid of 0 or of no process returns at once.
// Returns true when the process is gone.
bool WaitForProcessUntilExit(DWORD pid, DWORD timeout_ms);

}  // namespace base::process
