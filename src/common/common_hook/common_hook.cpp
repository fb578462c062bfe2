#include "common/common_hook/common_hook.h"

#include <QDebug>
#include <QString>

#include <atomic>
#include <filesystem>
#include <string>

#include "base/gstring.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"

namespace {

constexpr std::size_t kMaxImagePath = 260;
constexpr char kLogTerminateProcessSignature[] =
    "void __cdecl common_hook::LogTerminateProcess(bool,bool)";
constexpr wchar_t kHeadlessVmExe[] = L"VXKBoxHeadless.exe";

// The function the hook forwards to: whatever terminate function was in
// place when the hook went in. Written at start-up before other threads run.
std::atomic<platform::TerminateFunction> g_real_terminate{nullptr};

platform::ErrorCode CallReal(platform::RawProcess process, std::uint32_t exit_code) {
  platform::TerminateFunction real = g_real_terminate.load();
  if (real == nullptr) real = &platform::RealTerminateProcess;
  return real(process, exit_code);
}

}  // namespace

platform::ErrorCode Hook_TerminateProcess(platform::RawProcess process, std::uint32_t exit_code) {
  if (process == platform::CurrentProcess()) return CallReal(process, exit_code);

  const auto image = platform::QueryImagePath(process);
  if (!image) return CallReal(process, exit_code);
  const std::wstring path = base::gstring::FromPath(*image);
  if (path.size() >= kMaxImagePath) return CallReal(process, exit_code);

  QX_SIGNED_LOG(info, lc_app_launch, "int __cdecl Hook_TerminateProcess(void *,unsigned int)")
      << "kill-process " << QString::fromStdWString(path) << " pid:"
                        << platform::GetProcessId(process);
  // The headless VM's exit code tells its watchers that it was ended on purpose.
  if (path.find(kHeadlessVmExe) != std::wstring::npos) {
    return CallReal(process, common_hook::kHeadlessVmExitCode);
  }
  return CallReal(process, exit_code);
}

namespace common_hook {

void LogTerminateProcess(bool attach_failed, bool commit_failed, long commit_code) {
  if (attach_failed) {
    QX_SIGNED_LOG(warning, lc_app_launch, kLogTerminateProcessSignature)
        << "attach TerminateProcess failed ";
  }
  if (commit_failed) {
    QX_SIGNED_LOG(warning, lc_app_launch, kLogTerminateProcessSignature)
        << "Hook TerminateProcess failed:" << commit_code;
  }
}

void InstallTerminateProcessHook() {
  // Attach: take the function in place as the real one and put the hook in.
  platform::TerminateFunction previous = platform::ExchangeTerminateFunction(&Hook_TerminateProcess);
  if (previous == &Hook_TerminateProcess) return;  // already hooked: keep its real function
  if (previous == nullptr) {
    // Nothing to forward to: leave terminate unhooked.
    platform::ExchangeTerminateFunction(nullptr);
    LogTerminateProcess(true, false);
    return;
  }
  g_real_terminate.store(previous);
  // Commit: the hook must be what callers now reach; someone exchanging at the
  // same moment would have displaced it.
  platform::TerminateFunction installed = platform::ExchangeTerminateFunction(&Hook_TerminateProcess);
  if (installed != &Hook_TerminateProcess) {
    platform::ExchangeTerminateFunction(installed);
    g_real_terminate.store(nullptr);
    LogTerminateProcess(false, true, static_cast<long>(platform::kErrorGenFailure));
    return;
  }
  // The libraries' own calls of the system function come through the hook
  // too. Failing that, the program's own callers are still hooked.
  if (const platform::ErrorCode routed = platform::RouteImportedTerminateCalls(); routed != 0) {
    LogTerminateProcess(false, true, static_cast<long>(routed));
  }
}

}  // namespace common_hook
