#include "update/update.h"

#include <fmt/format.h>

#include <QDebug>
#include <QMessageLogger>
#include <QString>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "base/product_constants.h"
#include "base/system.h"
#include "command_line.h"
#include "common/report/kill_process_report.h"
#include "common/report/reporter.h"
#include "common/utils/command_args.h"
#include "common/utils/deadlines.h"
#include "emulator/shared/utils/process_utils.h"
#include "emulator/shared/utils/vm_utils.h"
#include "platform/file_holders.h"
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

// `a == b` for paths, answered from the texts' last names where those differ
// (nearly every entry of a removal): comparing path by path costs a parse of
// both paths, for every one of thousands of entries.
bool SamePath(const fs::path& a, const fs::path& b) {
  using Text = fs::path::string_type;
  const auto last_name = [](const Text& text) {
    std::size_t end = text.size();
#ifdef _WIN32
    while (end > 0 && (text[end - 1] == L'\\' || text[end - 1] == L'/')) --end;
    if (end == 0) return std::basic_string_view<Text::value_type>();
    const std::size_t slash = text.find_last_of(L"\\/", end - 1);
#else
    while (end > 0 && text[end - 1] == '/') --end;
    if (end == 0) return std::basic_string_view<Text::value_type>();
    const std::size_t slash = text.find_last_of('/', end - 1);
#endif
    const std::size_t begin = slash == Text::npos ? 0 : slash + 1;
    return std::basic_string_view<Text::value_type>(text).substr(begin, end - begin);
  };
  if (a.native() == b.native()) return true;
  if (last_name(a.native()) != last_name(b.native())) return false;
  return a == b;
}

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

// What the cleanup did with the entries of old version folders, counted by
// the removal's own callbacks as the walk goes.
struct EntryCounts {
  std::uint64_t removed = 0;
  std::uint64_t renamed = 0;  // moved aside for deletion at reboot
  std::uint64_t failed = 0;
  std::uint64_t kept = 0;  // by the rules: the previous version's logs, protected folders

  EntryCounts& operator+=(const EntryCounts& other) {
    removed += other.removed;
    renamed += other.renamed;
    failed += other.failed;
    kept += other.kept;
    return *this;
  }
};

// One run of the cleanup, for its event.
struct CleanupRun {
  bool version_read = false;  // false: the current version was unreadable, nothing was done
  unsigned versions = 0;
  unsigned versions_whole = 0;
  EntryCounts entries;
  std::uint64_t bytes_freed = 0;
  std::uint64_t duration_ms = 0;
  unsigned holder_searches = 0;
  unsigned holder_searches_stopped = 0;
  unsigned holder_searches_failed = 0;
  std::set<std::string> holder_images;
};

// The searches for the processes holding files that stay, which share one
// time limit per run (Deadlines::holder_search_ms).
class HolderSearches {
 public:
  HolderSearches(std::uint32_t limit_ms, CleanupRun* run)
      : limit_ms_(limit_ms), left_ms_(limit_ms), run_(run) {}

  // What goes on the line of `file`: "held by: <image> (<pid>), ...", and
  // whether the search stopped at the limit or failed. Empty when nothing
  // holds it.
  std::string Describe(const fs::path& file) {
    ++run_->holder_searches;
    const std::uint64_t start = platform::TickCount64();
    const auto found = platform::file_holders::FindFileHolders(file, start + left_ms_);
    const std::uint64_t spent = platform::TickCount64() - start;
    left_ms_ = spent >= left_ms_ ? 0 : left_ms_ - spent;
    if (!found) {
      ++run_->holder_searches_failed;
      return fmt::format("holder search failed: error {}", found.error());
    }
    std::string text;
    for (const platform::file_holders::Holder& holder : found->holders) {
      const std::string image = base::gstring::ToUtf8(holder.image);
      run_->holder_images.insert(image);
      text += text.empty() ? "held by: " : ", ";
      text += fmt::format("{} ({})", image, holder.pid);
    }
    if (found->gave_up) {
      ++run_->holder_searches_stopped;
      if (!text.empty()) text += "; ";
      text += fmt::format("holder search stopped at its {} ms limit", limit_ms_);
    }
    return text;
  }

 private:
  const std::uint32_t limit_ms_;
  std::uint64_t left_ms_;
  CleanupRun* run_;
};

// The removal of one old version folder.
struct VersionCleanup {
  fs::path folder;
  EntryCounts counts;
  bool whole = false;
  // Files moved aside in this run, with what their line said of their
  // holders: the tree step meets them again under the new name, and they
  // stay counted as moved aside.
  std::map<fs::path, std::string> marked;

  // Counts what the walk says of `path`; true when it stayed and is the
  // callback's to force.
  bool Stayed(const fs::path& path, bool removed, util::filesystem::err err) {
    if (err == util::filesystem::kRefused) {
      ++counts.kept;
      return false;
    }
    if (!removed) return true;
    if (err == util::filesystem::kRemoved) {
      ++counts.removed;
      if (SamePath(path, folder)) whole = true;
    }
    return false;
  }

  struct Forced {
    int result = 0;     // ForceDeleteFile's
    fs::path moved_to;  // where it went when it was moved aside
    std::string held;   // who holds what is left, for its line
  };

  // ForceDeleteFile on a path that stayed, counted.
  Forced Force(const fs::path& path, HolderSearches& holders) {
    Forced forced;
    std::error_code ec;
    forced.result = update::ForceDeleteFile(path, ec, &forced.moved_to);
    if (forced.result == 0 && forced.moved_to.empty()) {
      ++counts.removed;
    } else if (forced.result == 0) {
      ++counts.renamed;
      forced.held = marked[forced.moved_to] = holders.Describe(forced.moved_to);
    } else if (const auto earlier = marked.find(path); earlier != marked.end()) {
      forced.held = earlier->second;
    } else {
      ++counts.failed;
      forced.held = holders.Describe(path);
    }
    return forced;
  }
};

void AppendText(QDebug& line, const std::string& text) {
  if (!text.empty()) line << text.c_str();
}

std::string Utf8Name(const fs::path& path) {
  return base::gstring::ToUtf8(base::gstring::FromPath(path.filename()));
}

std::string SummaryLine(const VersionCleanup& version, std::uint64_t bytes_freed,
                        std::uint64_t took_ms) {
  return fmt::format(
      "old version {}: {}; entries removed {}, renamed for reboot {}, failed {}, kept {}; "
      "{} bytes freed in {} ms",
      Utf8Name(version.folder), version.whole ? "removed whole" : "stays",
      version.counts.removed, version.counts.renamed, version.counts.failed, version.counts.kept,
      bytes_freed, took_ms);
}

CleanupRun ClearOldVersion() {
  UPDATE_LOG(info, kCleanupSignature) << "ClearOldVersion...";
  const std::uint64_t run_start = platform::TickCount64();
  CleanupRun run;
  const Deadlines deadlines = CurrentDeadlines();
  MultiInst* inst = MultiInst::Instance();
  fs::path root = base::gstring::ToPath(inst->GetComponentInstallRoot(kClientComponent, false));
  if (!root.empty()) root = vm::utils::NormalizePath(root);
  const fs::path current = vm::utils::NormalizePath(
      base::gstring::ToPath(inst->GetCurrentComponentDirectory(kClientComponent, false)));
  Version current_version;
  if (!ParseVersion(current.filename(), &current_version)) {
    UPDATE_LOG(critical, kCleanupSignature) << "invalid version directory: " << current;
    run.duration_ms = platform::TickCount64() - run_start;
    return run;
  }
  run.version_read = true;

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

  HolderSearches holders(deadlines.holder_search_ms, &run);
  VersionCleanup version;  // the folder being removed
  // A file moved aside says so on a line of its own, with its holders.
  const auto log_renamed = [](const fs::path& path, const VersionCleanup::Forced& forced) {
    QDebug line = UPDATE_LOG(warning, kCleanupSignature);
    line << "renamed for deletion at reboot: " << path << "as" << forced.moved_to;
    AppendText(line, forced.held);
  };
  const update::RemoveFilter keep_filter = [&keep_logs, &version](const fs::path& p) {
    const bool remove = keep_logs.empty() || !SamePath(p, keep_logs);
    if (!remove) ++version.counts.kept;
    return remove;
  };
  const update::RemoveResult file_callback = [&](const fs::path& path, bool removed,
                                                 util::filesystem::err err) {
    if (!version.Stayed(path, removed, err)) {
      if (err != util::filesystem::kRefused) {
        UPDATE_LOG(warning, kCleanupSignature) << "remove file force: " << path;
      }
      return true;
    }
    const VersionCleanup::Forced forced = version.Force(path, holders);
    if (forced.result == 0) {
      UPDATE_LOG(warning, kCleanupSignature) << "remove file force: " << path;
      if (!forced.moved_to.empty()) log_renamed(path, forced);
    } else {
      QDebug line = UPDATE_LOG(warning, kCleanupSignature);
      line << "failed to remove file: " << path;
      AppendText(line, forced.held);
    }
    return true;
  };
  const update::RemoveResult directory_callback = [&](const fs::path& path, bool removed,
                                                      util::filesystem::err err) {
    if (!version.Stayed(path, removed, err)) return true;
    const VersionCleanup::Forced forced = version.Force(path, holders);
    if (forced.result != 0) {
      QDebug line = UPDATE_LOG(warning, kCleanupSignature);
      line << "failed to remove file: " << path;
      AppendText(line, forced.held);
    } else if (!forced.moved_to.empty()) {
      log_renamed(path, forced);
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
    const std::uint64_t version_start = platform::TickCount64();
    version = VersionCleanup{p};
    const update::FreedBytes freed;
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
    const std::uint64_t took_ms = platform::TickCount64() - version_start;
    UPDATE_LOG(info, kCleanupSignature).noquote()
        << QString::fromStdString(SummaryLine(version, freed.bytes(), took_ms));
    ++run.versions;
    if (version.whole) ++run.versions_whole;
    run.entries += version.counts;
    run.bytes_freed += freed.bytes();
  });
  run.duration_ms = platform::TickCount64() - run_start;
  return run;
}

// One event per run, after the relaunch: what the cleanup did, and how long
// the user had no client (from the old client's exit as this helper saw it
// to the launch).
void ReportCleanup(const CleanupRun& run, std::uint64_t no_client_ms) {
  std::string holder_images;
  for (const std::string& image : run.holder_images) {
    if (!holder_images.empty()) holder_images += ',';
    holder_images += image;
  }
  const std::map<std::string, std::string> params{
      {"result", run.version_read ? "done" : "invalid_version"},
      {"versions", std::to_string(run.versions)},
      {"versions_whole", std::to_string(run.versions_whole)},
      {"removed", std::to_string(run.entries.removed)},
      {"renamed", std::to_string(run.entries.renamed)},
      {"failed", std::to_string(run.entries.failed)},
      {"kept", std::to_string(run.entries.kept)},
      {"bytes_freed", std::to_string(run.bytes_freed)},
      {"duration", std::to_string(run.duration_ms)},
      {"holder_searches", std::to_string(run.holder_searches)},
      {"holder_search_stopped", std::to_string(run.holder_searches_stopped)},
      {"holder_search_failed", std::to_string(run.holder_searches_failed)},
      {"holders", holder_images},
      {"no_client_duration", std::to_string(no_client_ms)},
  };
  nimbrel_report::Reporter::Instance().Report("clear_old_version", params);
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
  // From here the user has no client until the launch below.
  const std::uint64_t client_gone = platform::TickCount64();

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

  const CleanupRun cleanup = ClearOldVersion();
  LaunchAppStore();
  ReportCleanup(cleanup, platform::TickCount64() - client_gone);

  UPDATE_LOG(info, kRestartSignature) << "RestartAppStore end.";
}

namespace internal {
void ClearOldVersionForTesting() { static_cast<void>(ClearOldVersion()); }
}  // namespace internal

}  // namespace update
