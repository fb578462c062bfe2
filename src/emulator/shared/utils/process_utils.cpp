#include "emulator/shared/utils/process_utils.h"

#include <system_error>

#include "common/utils/deadlines.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "platform/session.h"

namespace {

// Exit code of a started child after waiting up to `timeout_ms`; 259 while it
// still runs.
DWORD WaitAndReadExitCode(const platform::ProcessHandle& process, std::uint32_t timeout_ms) {
  platform::WaitForProcess(process.get(), timeout_ms);
  return platform::GetExitCode(process.get()).value_or(platform::kStillActive);
}

// The shell's "open" of a program: started directly, its parameters split by
// the Windows rules.
platform::ErrorCode Open(const std::filesystem::path& file, const std::wstring& parameters,
                         const std::filesystem::path& directory, platform::ProcessHandle* process) {
  platform::LaunchRequest request;
  request.file = file;
  request.parameters = parameters;
  request.directory = directory;
  request.want_handle = process != nullptr;
  request.environment = platform::StartEnvironment();
  return platform::Launch(request, process);
}

}  // namespace

DWORD ShellExecuteOpen(const std::filesystem::path& file, const std::wstring& parameters,
                       DWORD* exitCode, bool wait, const std::filesystem::path& directory,
                       int /*show*/) {
  if (file.empty()) return platform::kErrorFileNotFound;
  platform::ProcessHandle process;
  const platform::ErrorCode error = Open(file, parameters, directory, wait ? &process : nullptr);
  if (error != platform::kErrorSuccess) return error;
  if (process) {
    const DWORD code = WaitAndReadExitCode(process, platform::kInfinite);
    if (exitCode != nullptr) *exitCode = code;
  }
  return platform::kErrorSuccess;
}

DWORD ShellExecuteOpenExitCode(const std::filesystem::path& file, const std::wstring& parameters,
                               bool wait, const std::filesystem::path& directory, int show) {
  DWORD exit_code = 0;
  const DWORD error = ShellExecuteOpen(file, parameters, &exit_code, wait, directory, show);
  return error != 0 ? error : exit_code;
}

DWORD ExecuteShellWithCurrentPrivileges(const std::filesystem::path& file,
                                        const std::wstring& parameters,
                                        const std::filesystem::path& directory) {
  if (file.empty()) return platform::kErrorFileNotFound;
  platform::ProcessHandle process;
  const platform::ErrorCode error = Open(file, parameters, directory, &process);
  if (error != platform::kErrorSuccess) return error;
  DWORD exit_code = 0;
  if (process) exit_code = WaitAndReadExitCode(process, CurrentDeadlines().bounded_wait_ms);
  return exit_code;
}

DWORD CreateRestrictedProcess(const std::filesystem::path& exe, const std::wstring& arguments,
                              DWORD* exitCode) {
  if (exe.empty()) return platform::kErrorFileNotFound;
  std::error_code ec;
  if (!std::filesystem::exists(exe, ec) || ec) return platform::kErrorFileNotFound;

  platform::LaunchRequest request;
  request.file = exe;
  // The program is argv[0] as it stands: a path with blanks or quotes needs no
  // quoting that the program-name rule could read differently.
  request.parameters = arguments;
  request.want_handle = true;
  request.environment = platform::StartEnvironment();
  request.restricted = true;
  platform::ProcessHandle process;
  const platform::ErrorCode error = platform::Launch(request, &process);
  if (error != platform::kErrorSuccess) return error;
  const DWORD code = WaitAndReadExitCode(process, CurrentDeadlines().bounded_wait_ms);
  if (exitCode != nullptr) *exitCode = code;
  return platform::kErrorSuccess;
}

std::filesystem::path GetModuleDirectory() {
  const std::filesystem::path exe = platform::CurrentExecutablePath();
  if (exe.empty()) return {};
  return exe.parent_path();
}
