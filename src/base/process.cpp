#include "base/process.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/gstring.h"
#include "platform/process.h"

namespace base::process {

std::filesystem::path GetCurrentExeFullPath() { return platform::CurrentExecutablePath(); }

std::wstring GetCurrentExePath() { return gstring::FromPath(GetCurrentExeFullPath().parent_path()); }

std::wstring GetCurrentExeName() { return gstring::FromPath(GetCurrentExeFullPath().filename()); }

std::filesystem::path ProcessImagepath(HANDLE process) {
  std::filesystem::path image;
  if (process == nullptr || platform::QueryImagePath(process, &image) != platform::kErrorSuccess) {
    return {};
  }
  return image;
}

bool IsOnThisMachine(DWORD pid) {
  // Our own start-up environment may predate the home we now answer for.
  if (pid == platform::CurrentProcessId()) return true;
  std::optional<std::string> ours;
  if (const char* home = std::getenv("QUARRION_HOME")) ours = home;
  std::optional<std::string> theirs;
  bool empty = false;
  if (platform::ReadProcessEnvironmentVariable(pid, "QUARRION_HOME", &theirs, &empty) != 0) {
    return true;
  }
  // An empty environment is one we cannot tell by (a program started with
  // none, or one caught in the middle of its exec).
  return empty || theirs == ours;
}

bool EnumProcesses(const std::function<bool(const PROCESSENTRY32W&)>& callback) {
  if (!callback) return false;
  const auto err = platform::EnumerateProcesses([&](const platform::ProcessEntry& e) {
    if (!IsOnThisMachine(e.pid)) return true;
    PROCESSENTRY32W entry;
    entry.th32ProcessID = e.pid;
    entry.th32ParentProcessID = e.parent_pid;
    // Truncated like the tool-help snapshot, always NUL-terminated.
    const std::size_t n = std::min<std::size_t>(e.exe_file.size(), MAX_PATH - 1);
    std::copy_n(e.exe_file.data(), n, entry.szExeFile);
    entry.szExeFile[n] = L'\0';
    return callback(entry);
  });
  return err == platform::kErrorSuccess;
}

bool WaitForProcessUntilExit(DWORD pid, DWORD timeout_ms) {
  if (pid == 0) return true;
  // Waiting for ourselves could only end by the time-out (or never).
  if (pid == platform::CurrentProcessId()) return false;
  // A process of another product machine is not there to wait for.
  if (!IsOnThisMachine(pid)) return true;
  platform::ErrorCode err = 0;
  platform::ProcessHandle process = platform::OpenProcess(pid, platform::kSynchronize, &err);
  if (!process) return err == platform::kErrorInvalidParameter;  // no such process: gone
  return platform::WaitForProcess(process.get(), timeout_ms) == platform::kWaitObject0;
}

}  // namespace base::process
