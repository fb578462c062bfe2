#include "emulator/shared/utils/process_utils.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <system_error>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "platform/launch.h"
#include "platform/process.h"

namespace {

constexpr std::uint32_t kBoundedWaitMs = 5000;

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
  if (process) exit_code = WaitAndReadExitCode(process, kBoundedWaitMs);
  return exit_code;
}

DWORD CreateRestrictedProcess(const std::filesystem::path& exe, const std::wstring& arguments,
                              DWORD* exitCode) {
  if (exe.empty()) return platform::kErrorFileNotFound;
  std::error_code ec;
  if (!std::filesystem::exists(exe, ec) || ec) return platform::kErrorFileNotFound;

  platform::LaunchRequest request;
  request.file = exe;
  // The program is quoted so a path with blanks stays one argument.
  request.parameters = fmt::format(L"\"{}\" {}", base::gstring::FromPath(exe), arguments);
  request.parameters_include_program = true;
  request.want_handle = true;
  request.restricted = true;
  platform::ProcessHandle process;
  const platform::ErrorCode error = platform::Launch(request, &process);
  if (error != platform::kErrorSuccess) return error;
  const DWORD code = WaitAndReadExitCode(process, kBoundedWaitMs);
  if (exitCode != nullptr) *exitCode = code;
  return platform::kErrorSuccess;
}

RunOnceMark::RunOnceMark(std::wstring_view name)
    : key_(MultiInst::Instance()->GetComponentRegRoot(0) + L"\\Mark"), name_(name) {}

bool RunOnceMark::TestAndSet() {
  if (base::reg::GetValue(HKEY_CURRENT_USER, key_, name_, std::uint64_t{0}) != 0) return true;
  // Check and write are two steps; two processes may both run the action once.
  base::reg::SetValue(HKEY_CURRENT_USER, key_, name_, std::uint64_t{1});
  return false;
}

std::filesystem::path GetModuleDirectory() {
  const std::filesystem::path exe = platform::CurrentExecutablePath();
  if (exe.empty()) return {};
  return exe.parent_path();
}
