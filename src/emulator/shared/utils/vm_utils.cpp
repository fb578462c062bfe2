#include "emulator/shared/utils/vm_utils.h"

#include <QDebug>
#include <QString>

#include <future>
#include <system_error>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/product_constants.h"
#include "base/process.h"
#include "base/system.h"
#include "common/report/kill_process_report.h"
#include "common/report/reporter.h"
#include "common/utils/command_args.h"
#include "common/utils/deadlines.h"
#include "emulator/shared/utils/process_utils.h"
#include "platform/text.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/qdebug_path.h"

namespace vm::utils {
namespace {

constexpr std::uint32_t kTerminateExitCode = 0xFFFFFFFF;
constexpr const wchar_t kEmulatorExe[] = L"QuarrionEmulator.exe";
constexpr const char kKiller[] = "QuarrionUpdate";
constexpr const wchar_t kDebugPrivilege[] = L"SeDebugPrivilege";
constexpr int kShowNormal = 1;  // show state of the quit command's window

// Names are appended as text, without the quotes QDebug gives a QString.
QString Q(const wchar_t* text) { return QString::fromStdWString(text ? text : L""); }
const char* Text(const char* text) { return text ? text : ""; }

// Waits in 200 ms slices while the predicate allows; true when the process
// ended (any wait result but a time-out counts as ended).
bool WaitInSlices(platform::RawProcess process, const KeepWaiting& keepWaiting) {
  const std::uint32_t slice_ms = CurrentDeadlines().slice_ms;
  for (;;) {
    if (platform::WaitForProcess(process, slice_ms) != platform::kWaitTimeout) return true;
    if (!keepWaiting(0)) return false;
  }
}

// Sends "quit_process" when the quit attempt on one process ends, however it
// ends.
class QuitProcessReport {
 public:
  QuitProcessReport(const wchar_t* name, unsigned long pid, const ForceKillInfo* info)
      : start_tick_(platform::TickCount64()),
        name_(name ? name : L""),
        pid_(pid),
        location_(info != nullptr ? Text(info->where) : "") {}
  ~QuitProcessReport() {
    try {
      const std::uint64_t duration = platform::TickCount64() - start_tick_;
      std::map<std::string, std::string> params{
          {"proc_name", base::gstring::ToUtf8(name_)},
          {"pid", std::to_string(pid_)},
          {"from", base::gstring::ToUtf8(base::apputils::GetCurrentApplicationName())},
          {"location", location_},
          {"result", std::to_string(static_cast<int>(result_))},
          {"duration", std::to_string(duration)},
      };
      nimbrel_report::Reporter::Instance().Report("quit_process", params);
    } catch (...) {
      // Reporting is fire-and-forget; it never changes the outcome.
    }
  }
  QuitProcessReport(const QuitProcessReport&) = delete;
  QuitProcessReport& operator=(const QuitProcessReport&) = delete;

  void set_result(FORCE_QUIT_RESULT result) { result_ = result; }

 private:
  std::uint64_t start_tick_;
  std::wstring name_;
  unsigned long pid_;
  std::string location_;
  FORCE_QUIT_RESULT result_ = FORCE_QUIT_FAILED;
};

// Runs "<emulator> --quit " on a pool thread and waits for that instance to
// exit: the running emulator closes itself once it has taken the request.
void RequestQuitByCommand(const std::filesystem::path& path) {
  auto run = [path] {
    DWORD exit_code = 0;
    ShellExecuteOpen(path, FormatOptionArg(std::string_view("quit")), &exit_code,
                     true, std::filesystem::path(), kShowNormal);
  };
  std::future<void> task;
  try {
    task = std::async(std::launch::async, run);
  } catch (const std::system_error&) {
    // No thread to be had: the caller waits for the command anyway, so run
    // it here rather than let the failure end the process.
    run();
    return;
  }
  task.wait();
}

}  // namespace

KeepWaiting KeepWaitingUntil(std::uint64_t deadline_tick) {
  return [deadline_tick](unsigned ms) {
    platform::SleepMs(ms);
    return platform::TickCount64() < deadline_tick;
  };
}

std::filesystem::path NormalizePath(const std::filesystem::path& path) {
  if (path.empty()) return path;
  const std::filesystem::path normal = path.lexically_normal();
  const std::wstring text = base::gstring::FromPath(normal);
  if (text.size() > 4 && (text.compare(0, 4, L"\\\\?\\") == 0 || text.compare(0, 4, L"\\\\.\\") == 0)) {
    return base::gstring::ToPath(std::wstring_view(text).substr(4));
  }
  return normal;
}

FORCE_QUIT_RESULT ForceQuitProcess(platform::RawProcess process, const KeepWaiting& keepWaiting,
                                   const wchar_t* name, unsigned long pid,
                                   const ForceKillInfo* info) {
  qCInfo(lc_vm_utils).noquote() << "Try to quit: " << Q(name) << ", pid=" << pid;
  if (process == nullptr) return FORCE_QUIT_EXITED;
  QuitProcessReport report(name, pid, info);
  const FORCE_QUIT_RESULT result = ForceQuitProcessImpl(process, keepWaiting, name, pid, info);
  report.set_result(result);
  return result;
}

FORCE_QUIT_RESULT ForceQuitProcessImpl(platform::RawProcess process,
                                       const KeepWaiting& keepWaiting, const wchar_t* name,
                                       unsigned long pid, const ForceKillInfo* info) {
  if (WaitInSlices(process, keepWaiting)) {
    if (pid != 0) qCInfo(lc_vm_utils).noquote() << Q(name) << " exit. pid=" << pid;
    return FORCE_QUIT_EXITED;
  }
  qCWarning(lc_vm_utils).noquote() << "Timeout: " << Q(name) << " exit timeout ";
  if (info == nullptr) return FORCE_QUIT_TIMEOUT;
  qCWarning(lc_vm_utils).noquote() << "Force Kill Process: " << Q(name) << ", where=" << Text(info->where)
                         << ", msg=" << Text(info->msg);
  return KillProcess(process, keepWaiting, name, pid, info, true);
}

FORCE_QUIT_RESULT KillProcess(platform::RawProcess process, const KeepWaiting& keepWaiting,
                              const wchar_t* name, unsigned long pid, const ForceKillInfo* info,
                              bool retry_on_fail) {
  std::uint32_t exit_code = kTerminateExitCode;
  bool succeeded = false;
  unsigned long error_code = 0;

  qCWarning(lc_vm_utils).noquote() << "TerminateProcess: " << Q(name) << ", pid=" << pid;
  // `last_error` follows what GetLastError would say after each failed call.
  platform::ErrorCode last_error = platform::TerminateProcess(process, kTerminateExitCode);
  if (last_error == platform::kErrorSuccess) {
    succeeded = WaitInSlices(process, keepWaiting);
    error_code = 0;
  } else {
    if (last_error == platform::kErrorAccessDenied && retry_on_fail) {
      const platform::Pid id = platform::GetProcessId(process);
      if (id != 0) {
        qCWarning(lc_vm_utils).noquote() << "Failed to TerminateProcess: " << Q(name) << ", err=" << last_error
                               << ", exit_code=" << exit_code << ", retry_on_fail=" << retry_on_fail;
        auto reopened = platform::OpenProcess(id, kAccessTerminate);
        if (reopened) {
          // The retry reports for itself.
          return KillProcess(reopened->get(), keepWaiting, name, id, info, false);
        }
        last_error = reopened.error();
      }
    }
    const auto queried = platform::GetExitCode(process);
    if (queried) exit_code = *queried;
    const platform::ErrorCode query_error = queried.error();
    if (query_error == platform::kErrorSuccess && exit_code != platform::kStillActive) {
      // Refused only because it had already ended.
      succeeded = true;
      error_code = 0;
    } else {
      if (query_error != platform::kErrorSuccess) last_error = query_error;
      qCCritical(lc_vm_utils).noquote() << "Failed to TerminateProcess: " << Q(name) << ", err=" << last_error
                              << ", exit_code=" << exit_code;
      succeeded = false;
      error_code = last_error;
    }
  }

  kill_process_report::ReportAndLogout(base::gstring::ToPath(name ? name : L""), pid, kKiller,
                                       info != nullptr ? Text(info->where) : "", error_code);
  return succeeded ? FORCE_QUIT_KILLED : FORCE_QUIT_FAILED;
}

FORCE_QUIT_RESULT EnumAndWaitProcess(
    const wchar_t* name, unsigned long access,
    const std::function<bool(platform::ProcessHandle&, PROCESSENTRY32W&)>& onMatch,
    const KeepWaiting& keepWaiting, const ForceKillInfo* info) {
  // Enabled only for this call, and disabled again however it ends.
  std::optional<base::system::ScopedPrivilege> privilege;
  if (info != nullptr) privilege.emplace(kDebugPrivilege);
  access |= kAccessWait | (info != nullptr ? platform::kProcessTerminate : 0);

  platform::ProcessHandle handle;
  unsigned long found_pid = 0;
  const std::wstring_view wanted(name ? name : L"");
  // Matched by name before anything else is read of a process.
  const std::wstring_view names[] = {wanted};
  base::process::EnumProcessesNamed(names, [&](const PROCESSENTRY32W& listed, std::wstring_view) {
    PROCESSENTRY32W entry = listed;
    const unsigned long pid = entry.th32ProcessID;
    qCInfo(lc_vm_utils).noquote() << Q(name) << ": pid=" << pid;
    auto opened_or = platform::OpenProcess(pid, static_cast<std::uint32_t>(access));
    const platform::ErrorCode error = opened_or.error();
    platform::ProcessHandle opened = std::move(opened_or).value_or(platform::ProcessHandle());
    if (!opened) {
      if (error == platform::kErrorInvalidParameter) {
        qCInfo(lc_vm_utils).noquote() << Q(name) << " process exited: pid=" << pid;
      } else {
        qCCritical(lc_vm_utils) << "Failed to OpenProcess: err=" << error << ", pid=" << pid;
      }
      return true;
    }
    if (onMatch && onMatch(opened, entry)) {
      handle = std::move(opened);
      found_pid = pid;
      return false;  // only the first accepted match is handled
    }
    return true;
  });

  const FORCE_QUIT_RESULT result =
      ForceQuitProcess(handle.get(), keepWaiting, name, found_pid, info);
  handle.reset();
  return result;
}

FORCE_QUIT_RESULT ForceQuitNimbrel(const KeepWaiting& keepWaiting, const ForceKillInfo* info) {
  auto emulator_action = [](platform::ProcessHandle& handle, PROCESSENTRY32W& entry) {
    std::filesystem::path path = NormalizePath(base::process::ProcessImagepath(handle.get()));
    if (path.empty()) {
      path = base::gstring::ToPath(MultiInst::Instance()->GetCurrentComponentDirectory(
                 constants::kComponentClient, false)) /
             base::gstring::ToPath(kEmulatorExe);
    }
    qCInfo(lc_vm_utils).noquote() << Q(kEmulatorExe) << ": pid="
                                  << static_cast<unsigned long>(entry.th32ProcessID)
                                  << ", path=" << path;
    RequestQuitByCommand(path);
    return true;
  };
  return EnumAndWaitProcess(kEmulatorExe, 0, emulator_action, keepWaiting, info);
}

}  // namespace vm::utils
