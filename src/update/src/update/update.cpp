#include "update/update.h"

#include <QDebug>
#include <QMessageLogger>
#include <QString>
#include <array>
#include <cstdio>
#include <cwchar>
#include <limits>
#include <map>
#include <string>
#include <system_error>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "base/product_constants.h"
#include "base/system.h"
#include "command_line.h"
#include "common/report/kill_process_report.h"
#include "common/utils/command_args.h"
#include "common/utils/deadlines.h"
#include "emulator/shared/utils/process_utils.h"
#include "emulator/shared/utils/vm_utils.h"
#include "platform/process.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"
#include "qtbaseex/qdebug_ext.h"
#include "qtbaseex/qdebug_path.h"
#include "update/old_version_cleanup.h"

namespace {

namespace fs = std::filesystem;

constexpr ComponentType kClientComponent = constants::kComponentClient;
// The options this helper passes on, and the client's name for where it was
// started from.
constexpr int kLaunchedFromUpdate = 6;
// The show state of a started program (a normal window).
constexpr int kShowNormal = 1;
// The bulk kill ends the processes without extra behaviour.
constexpr unsigned long kKillFlags = 0;
constexpr const char kKiller[] = "QuarrionUpdate";
constexpr const char kCleanupLocation[] = "`anonymous-namespace'::ClearOldVersion";
constexpr const char kRestartLocation[] = "update::RestartAppStore";

// Every product program that may still run from an old version directory.
constexpr std::array<const wchar_t*, 13> kProductImages = {
    L"NimbrelAiAssistant.exe", L"NimbrelAiDocSeeker.exe", L"QuarrionAssistantToast.exe",
    L"NimbrelDlSvr.exe",       L"NimbrelInstaller.exe",   L"QuarrionLauncher.exe",
    L"QuarrionVfs.exe",        L"NimbrelUpdate.exe",      L"QuarrionAssistant.exe",
    L"QuarrionEmulator.exe",   L"Quarrion.exe",           L"QuarrionVm.exe",
    L"QuarrionService.exe",
};

// The function texts the restart's and the cleanup's lines carry, the same on
// every platform and compiler.
constexpr char kRestartSignature[] = "void __cdecl update::RestartAppStore(void)";
constexpr char kCleanupSignature[] =
    "void __cdecl `anonymous-namespace'::ClearOldVersion(void)";

// qCInfo and friends, with the function text given. The category decides, as
// with qCInfo, whether the line is written.
#define UPDATE_LOG(level, signature) QX_SIGNED_LOG(level, lc_update, signature)

struct Version {
  unsigned parts[4] = {0, 0, 0, 0};
  friend bool operator<(const Version& a, const Version& b) {
    for (int i = 0; i < 4; ++i) {
      if (a.parts[i] != b.parts[i]) return a.parts[i] < b.parts[i];
    }
    return false;
  }
};

// A directory name is a version when all four numbers are read; text after
// the fourth is ignored. A number too large for a version field makes the name
// no version: read the way scanf does, it would wrap round (4294967296 reads
// as 0), and a folder whose name reads as a far newer version would be taken
// for an old one and removed.
bool ParseVersion(const fs::path& name, Version* version) {
  const std::wstring text = base::gstring::FromPath(name);
  unsigned long long parts[4] = {0, 0, 0, 0};
  if (std::swscanf(text.c_str(), L"%llu.%llu.%llu.%llu", &parts[0], &parts[1], &parts[2],
                   &parts[3]) != 4) {
    return false;
  }
  for (const unsigned long long part : parts) {
    // A saturated read (ULLONG_MAX) is the overflow of a longer number.
    if (part > std::numeric_limits<unsigned>::max()) return false;
  }
  for (int i = 0; i < 4; ++i) version->parts[i] = static_cast<unsigned>(parts[i]);
  return true;
}

// Only real directories are versions: a link named like a version is not
// followed into whatever it points at.
bool IsRealDirectory(const fs::directory_entry& entry) {
  std::error_code ec;
  return entry.symlink_status(ec).type() == fs::file_type::directory;
}

// Visits the entries of `root` one level deep, in listing order. An error
// while listing ends the listing; it never ends the process.
template <typename Visit>
void ForEachEntry(const fs::path& root, Visit&& visit) {
  if (root.empty()) return;
  std::error_code ec;
  fs::directory_iterator it(root, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    visit(*it);
  }
  if (ec) {
    UPDATE_LOG(warning, kCleanupSignature) << "failed to list directory: " << root
                                           << ec.message();
  }
}

void ClearOldVersion() {
  UPDATE_LOG(info, kCleanupSignature) << "ClearOldVersion...";
  const Deadlines deadlines = CurrentDeadlines();
  MultiInst* inst = MultiInst::Instance();
  fs::path root = base::gstring::ToPath(inst->GetComponentInstallRoot(kClientComponent, false));
  if (!root.empty()) root = vm::utils::NormalizePath(root);
  const fs::path current = vm::utils::NormalizePath(
      base::gstring::ToPath(inst->GetCurrentComponentDirectory(kClientComponent, false)));
  Version current_version;
  if (!ParseVersion(current.filename(), &current_version)) {
    UPDATE_LOG(critical, kCleanupSignature) << "invalid version directory: " << current;
    return;
  }

  // The most recent older version keeps its logs.
  Version best;
  fs::path previous_dir;
  ForEachEntry(root, [&](const fs::directory_entry& entry) {
    Version v;
    if (IsRealDirectory(entry) && ParseVersion(entry.path().filename(), &v) &&
        v < current_version && best < v) {
      best = v;
      previous_dir = entry.path();
    }
  });
  fs::path keep_logs;
  if (!previous_dir.empty()) keep_logs = vm::utils::NormalizePath(previous_dir / "logs");

  const update::RemoveFilter keep_filter = [&keep_logs](const fs::path& p) {
    return keep_logs.empty() || !(p == keep_logs);
  };
  const update::RemoveResult file_callback = [](const fs::path& path, bool removed,
                                                util::filesystem::err err) {
    if (err == util::filesystem::kRefused) return true;
    if (removed) {
      UPDATE_LOG(warning, kCleanupSignature) << "remove file force: " << path;
      return true;
    }
    std::error_code ec;
    if (update::ForceDeleteFile(path, ec) == 0) {
      UPDATE_LOG(warning, kCleanupSignature) << "remove file force: " << path;
    } else {
      UPDATE_LOG(warning, kCleanupSignature) << "failed to remove file: " << path;
    }
    return true;
  };
  const update::RemoveResult directory_callback = [](const fs::path& path, bool removed,
                                                     util::filesystem::err err) {
    if (err == util::filesystem::kRefused || removed) return true;
    std::error_code ec;
    if (update::ForceDeleteFile(path, ec) != 0) {
      UPDATE_LOG(warning, kCleanupSignature) << "failed to remove file: " << path;
    }
    return true;
  };

  ForEachEntry(root, [&](const fs::directory_entry& entry) {
    const fs::path p = vm::utils::NormalizePath(entry.path());
    Version v;
    if (p == current || !IsRealDirectory(entry) || !ParseVersion(entry.path().filename(), &v) ||
        !(v < current_version)) {
      return;
    }
    UPDATE_LOG(info, kCleanupSignature) << "removing directory: " << p;
    // Every removal below goes through this one handle of the folder, so a
    // folder swapped for a link from now on redirects none of them.
    const update::HeldFolder held(p);
    // One walk of the process list serves the thirteen images and the
    // emulator of this folder, instead of one walk each.
    const base::process::ScopedProcessSnapshot processes;
    bool all_removed = true;
    for (const wchar_t* image : kProductImages) {
      const std::wstring_view name(image);
      const fs::path file = p / base::gstring::ToPath(name);
      if (name == L"QuarrionEmulator.exe") {
        vm::utils::ForceKillInfo info;
        info.where = kCleanupLocation;
        info.file = __FILE__;
        info.line = __LINE__;
        info.msg = "";
        vm::utils::ForceQuitNimbrel(
            vm::utils::KeepWaitingUntil(platform::TickCount64() + deadlines.forced_quit_ms),
            &info);
      }
      bool handled = false;
      const std::array<std::wstring_view, 1> names{name};
      kill_process_report::InternalKillProcessWithReportT(
          names, kKiller, kCleanupLocation, p, deadlines.bounded_wait_ms, kKillFlags,
          [&](const fs::path&, unsigned long, unsigned long) {
            update::RemovePath(file, keep_filter, file_callback, &all_removed);
            handled = true;
          });
      if (!handled) update::RemovePath(file, keep_filter, file_callback, &all_removed);
    }
    update::RemovePath(p, keep_filter, directory_callback, &all_removed);
  });
}

// Starts the client (with a pseudo-protocol) or the launcher, passing on the
// options this helper was given. Not waited for; a failed start is dropped.
void LaunchAppStore() {
  QCommandLineParser& parser = command_line::Instance();
  std::map<std::string, std::string> options{
      {"from", std::to_string(kLaunchedFromUpdate)},
      {"launch-proc-name", "Quarrion.exe"},
  };
  if (parser.isSet(QStringLiteral("launch-store-tray"))) options["silent"] = "";
  if (parser.isSet(QStringLiteral("restore-language-restart-apps"))) {
    options["restore-language-restart-apps"] = "";
  }
  MultiInst* inst = MultiInst::Instance();
  if (parser.isSet(QStringLiteral("pseudo-protocol"))) {
    options["pseudo-protocol"] =
        parser.value(QStringLiteral("pseudo-protocol")).toUtf8().toStdString();
    const std::wstring arguments = BuildArgs(options);
    const fs::path file =
        base::gstring::ToPath(inst->GetCurrentComponentDirectory(kClientComponent, false)) /
        "Quarrion.exe";
    DWORD exit_code = 0;
    ShellExecuteOpen(file, arguments, &exit_code, false, fs::path(), kShowNormal);
  } else {
    const fs::path file =
        base::gstring::ToPath(inst->GetComponentInstallRoot(kClientComponent, false)) /
        "QuarrionLauncher.exe";
    const std::wstring arguments = BuildArgs(options);
    ShellExecuteOpenExitCode(file, arguments, false, fs::path(), kShowNormal);
  }
}

}  // namespace

namespace update {

void RestartAppStore() {
  UPDATE_LOG(info, kRestartSignature) << "RestartAppStore begin...";

  // Ask the emulator to quit; its own exit is awaited later, with force.
  {
    const std::uint64_t deadline = platform::TickCount64();
    vm::utils::ForceQuitNimbrel(vm::utils::KeepWaitingUntil(deadline), nullptr);
  }

  // The old client must be gone before anything of it is removed.
  {
    const QString text = command_line::Instance().value(QStringLiteral("appstore-pid"));
    const DWORD pid = QString::fromUtf8(text.toUtf8()).toUInt(nullptr, 10);
    base::process::WaitForProcessUntilExit(pid, platform::kInfinite);
  }

  const Deadlines deadlines = CurrentDeadlines();
  kill_process_report::InternalKillProcessWithReport(L"Quarrion.exe", kKiller, kRestartLocation,
                                                     fs::path(), deadlines.bounded_wait_ms,
                                                     kKillFlags);

  {
    const std::uint64_t deadline = platform::TickCount64() + deadlines.forced_quit_ms;
    vm::utils::ForceKillInfo info;
    info.where = kRestartLocation;
    info.file = __FILE__;
    info.line = __LINE__;
    info.msg = "";
    const base::system::ScopedPrivilege debug(L"SeDebugPrivilege");
    vm::utils::ForceQuitNimbrel(vm::utils::KeepWaitingUntil(deadline), &info);
  }

  ClearOldVersion();
  LaunchAppStore();

  UPDATE_LOG(info, kRestartSignature) << "RestartAppStore end.";
}

namespace internal {
void ClearOldVersionForTesting() { ClearOldVersion(); }
}  // namespace internal

}  // namespace update
