// The search for the processes holding a file the cleanup cannot remove, on
// a machine with many processes: N idle processes (5,000 unless
// --processes=N) started here, and one holder of the file started after
// them, so that it comes last in the process list. Prints
//   - the search alone, with the product's limit and with shortened ones:
//     the time it takes, whether it finished, whether it found the holder;
//   - the cleanup of an old version whose one file stays, against the same
//     cleanup with nothing in the way (its normal time, process list walks
//     included): with the search it must end within that time plus the
//     limit.
// Every process started is ended again through its own handle.
#include <stdlib.h>

#include <QDebug>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "bench_support.h"
#include "common/utils/deadlines.h"
#include "platform/dir_walk.h"
#include "platform/file_holders.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "update/old_version_cleanup.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDefaultProcesses = 5000;
constexpr int kRounds = 5;
constexpr std::uint32_t kShortLimitsMs[] = {10, 50, 200};
constexpr std::uint32_t kHolderReadyMs = 20000;
// The held file: its name says an earlier run marked it, so the cleanup
// cannot move it aside again and must report who holds it.
constexpr char kHeldName[] = "engine.dll.~del_00aa";

std::vector<std::string> g_failure_lines;

void Capture(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (message.startsWith(QStringLiteral("failed to remove file: "))) {
    g_failure_lines.push_back(message.toStdString());
  }
}

platform::ErrorCode RefuseHeld(const platform::dir_walk::DirHandle& dir, const fs::path& name) {
  if (name == kHeldName) return platform::kErrorSharingViolation;
  return platform::dir_walk::RealRemoveFile(dir, name);
}

struct Search {
  double ms = 0;
  bool gave_up = false;
  bool found = false;
};

Search SearchOnce(const fs::path& file, platform::Pid holder, std::uint32_t limit_ms) {
  const auto start = bench::Clock::now();
  const auto search = platform::file_holders::FindFileHolders(file, platform::TickCount64() + limit_ms);
  Search out;
  out.ms = std::chrono::duration<double, std::milli>(bench::Clock::now() - start).count();
  if (!search) return out;
  out.gave_up = search->gave_up;
  out.found = std::any_of(search->holders.begin(), search->holders.end(),
                          [&](const platform::file_holders::Holder& h) { return h.pid == holder; });
  return out;
}

// The median of `rounds` runs by time; the flags are those of that run.
template <typename Run>
Search Median(Run&& run) {
  std::vector<Search> runs;
  for (int i = 0; i < kRounds; ++i) runs.push_back(run());
  std::sort(runs.begin(), runs.end(), [](const Search& a, const Search& b) { return a.ms < b.ms; });
  return runs[runs.size() / 2];
}

fs::path g_held;  // the file the holder has open, outside the install root

fs::path HeldInVersion(const fs::path& root) { return root / "1.0.0.1" / "bin" / kHeldName; }

// An old version folder of a few hundred files; with `held`, also a second
// name of the held file, which the holder has open under its first name.
void MakeOldVersion(const fs::path& root, bool held) {
  const fs::path old = root / "1.0.0.1";
  for (int d = 0; d < 10; ++d) {
    const fs::path dir = old / ("lib" + std::to_string(d));
    fs::create_directories(dir);
    for (int f = 0; f < 30; ++f) std::ofstream(dir / ("f" + std::to_string(f) + ".dll")) << "x";
  }
  if (!held) return;
  fs::create_directories(HeldInVersion(root).parent_path());
  std::error_code ec;
  fs::create_hard_link(g_held, HeldInVersion(root), ec);
}

double CleanupMs(const fs::path& root, bool blocked, std::uint32_t limit_ms) {
  MakeOldVersion(root, blocked);
  Deadlines deadlines;
  deadlines.holder_search_ms = limit_ms;
  const ScopedDeadlines limit(deadlines);
  const auto previous =
      platform::dir_walk::ExchangeRemoveFileFunction(blocked ? &RefuseHeld : nullptr);
  const auto start = bench::Clock::now();
  update::internal::ClearOldVersionForTesting();
  const double ms = std::chrono::duration<double, std::milli>(bench::Clock::now() - start).count();
  platform::dir_walk::ExchangeRemoveFileFunction(previous);
  return ms;
}

double MedianCleanupMs(const fs::path& root, bool blocked, std::uint32_t limit_ms) {
  std::vector<double> runs;
  for (int i = 0; i < kRounds; ++i) runs.push_back(CleanupMs(root, blocked, limit_ms));
  return bench::Median(runs);
}

platform::ProcessHandle StartProgram(const char* program, const std::wstring& parameters) {
  platform::LaunchRequest request;
  request.file = program;
  request.parameters = parameters;
  request.want_handle = true;
  platform::ProcessHandle handle;
  if (platform::Launch(request, &handle) != 0) return {};
  return handle;
}

void EndAll(std::vector<platform::ProcessHandle>& processes) {
  for (auto& p : processes) platform::RealTerminateProcess(p.get(), 1);
  for (auto& p : processes) platform::WaitForProcess(p.get(), 10000);
  processes.clear();
}

}  // namespace

int main(int argc, char** argv) {
  int count = kDefaultProcesses;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--processes=", 12) == 0) count = std::atoi(argv[i] + 12);
  }
  char pattern[] = "/tmp/quarrion-holder-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path scratch = pattern;
  bench::NewHome(scratch, "home");
  const fs::path root = scratch / "home" / "install";
  const std::wstring key = MultiInst::Instance()->GetComponentRegRoot(1);
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"InstallRoot", base::gstring::FromPath(root));
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"Version", std::wstring(L"1.0.0.3"));
  fs::create_directories(root / "1.0.0.3");
  g_held = scratch / "elsewhere" / kHeldName;
  fs::create_directories(g_held.parent_path());
  std::ofstream(g_held) << "in use";
  const fs::path held = HeldInVersion(root);
  qInstallMessageHandler(&Capture);

  const double quiet_normal = MedianCleanupMs(root, false, kHolderSearchLimit);

  std::vector<platform::ProcessHandle> processes;
  std::printf("starting %d idle processes...\n", count);
  for (int i = 0; i < count; ++i) {
    platform::ProcessHandle p = StartProgram("/bin/sleep", L"infinity");
    if (!p) {
      std::fprintf(stderr, "could not start idle process %d\n", i);
      EndAll(processes);
      return 1;
    }
    processes.push_back(std::move(p));
  }
  MakeOldVersion(root, true);
  platform::ProcessHandle holder =
      StartProgram("/usr/bin/tail", L"-n 0 -f " + platform::QuoteCommandLineArgument(g_held.wstring()));
  const platform::Pid holder_pid = platform::GetProcessId(holder.get());
  const std::uint64_t ready_by = platform::TickCount64() + kHolderReadyMs;
  while (!SearchOnce(held, holder_pid, kHolderSearchLimit).found) {
    if (platform::TickCount64() > ready_by) {
      std::fprintf(stderr, "the holder never took the file\n");
      processes.push_back(std::move(holder));
      EndAll(processes);
      return 1;
    }
  }

  std::printf("\nholder search over %d processes (+ the holder, listed last), median of %d:\n",
              count, kRounds);
  std::printf("  %-22s %10s %10s %8s\n", "limit", "took ms", "finished", "found");
  const auto print = [](const std::string& label, const Search& s) {
    std::printf("  %-22s %10.1f %10s %8s\n", label.c_str(), s.ms, s.gave_up ? "no" : "yes",
                s.found ? "yes" : "no");
  };
  print(std::to_string(kHolderSearchLimit) + " ms (the product's)",
        Median([&] { return SearchOnce(held, holder_pid, kHolderSearchLimit); }));
  for (const std::uint32_t limit : kShortLimitsMs) {
    print(std::to_string(limit) + " ms", Median([&] { return SearchOnce(held, holder_pid, limit); }));
  }

  // The three kinds of run take turns, so that a change in the machine's
  // load meanwhile falls on each alike.
  std::vector<double> normal_runs;
  std::vector<double> search_runs;
  std::vector<double> short_runs;
  std::string said;
  std::string said_short;
  for (int i = 0; i < kRounds; ++i) {
    normal_runs.push_back(CleanupMs(root, false, kHolderSearchLimit));
    g_failure_lines.clear();
    search_runs.push_back(CleanupMs(root, true, kHolderSearchLimit));
    said = g_failure_lines.empty() ? std::string("(none)") : g_failure_lines.back();
    g_failure_lines.clear();
    short_runs.push_back(CleanupMs(root, true, kShortLimitsMs[1]));
    said_short = g_failure_lines.empty() ? std::string("(none)") : g_failure_lines.back();
  }
  const double normal = bench::Median(normal_runs);
  const double with_search = bench::Median(search_runs);
  const double with_short = bench::Median(short_runs);

  std::printf("\ncleanup of one old version (300 files), median of %d:\n", kRounds);
  std::printf("  nothing in the way, no other processes:      %8.1f ms\n", quiet_normal);
  std::printf("  nothing in the way, %5d idle processes:     %8.1f ms (normal time)\n", count,
              normal);
  std::printf("  one held file, limit %4u ms:                %8.1f ms (bound %.1f ms: %s)\n",
              kHolderSearchLimit, with_search, normal + kHolderSearchLimit,
              with_search <= normal + kHolderSearchLimit ? "within" : "OVER");
  std::printf("    %s\n", said.c_str());
  std::printf("  one held file, limit %4u ms:                %8.1f ms (bound %.1f ms: %s)\n",
              kShortLimitsMs[1], with_short, normal + kShortLimitsMs[1],
              with_short <= normal + kShortLimitsMs[1] ? "within" : "OVER");
  std::printf("    %s\n", said_short.c_str());

  processes.push_back(std::move(holder));
  EndAll(processes);
  qInstallMessageHandler(nullptr);
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return 0;
}
