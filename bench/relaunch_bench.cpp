// How long the user has no client: from the old client's exit to the start of
// the launcher the helper relaunches, with one old version of 2,000 files to
// remove first. Next to it the floor: the same old client killed, `rm -rf` of
// the same tree, and the same launcher started. Both on tmpfs (/dev/shm) and
// on disk (/var/tmp), alternating rounds, medians; the helper's extra time
// over the floor is the figure (its target: at most 5 ms).
// The launcher is `relaunch_mark`, which writes the monotonic clock as it
// starts; `--rounds=N` (7) and `--files=N` (2000) change the sizes, `--in=DIR`
// measures in DIR alone, `--keep` leaves the product homes behind.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "bench_support.h"

extern char** environ;

namespace fs = std::filesystem;
using bench::Median;

namespace {

constexpr int kFilesPerFolder = 50;
constexpr int kFileBytes = 4096;
constexpr char kOld[] = "1.0.0.2";
constexpr char kCurrent[] = "1.0.0.3";
// How long the helper waits for the old client before it exits: a user's
// old client takes seconds to close, by when the helper's start-up work
// (probes on threads of their own) is over.
int kSettleMs = 1500;

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

bool Reap(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The first mark the launcher wrote, waiting at most `timeout_ms` for it.
std::optional<std::int64_t> WaitForMark(const fs::path& mark, int timeout_ms) {
  const std::int64_t until = NowNs() + static_cast<std::int64_t>(timeout_ms) * 1000000;
  while (NowNs() < until) {
    const std::string text = ReadWhole(mark);
    if (!text.empty() && text.back() == '\n') return std::stoll(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::nullopt;
}

// The old version: `files` files of 4 KiB in folders of 50, written back to
// the disk before the clock starts so that neither side pays for the other's
// write-back.
void MakeOldVersion(const fs::path& root, int files) {
  const std::string bytes(kFileBytes, 'x');
  for (int i = 0; i < files; ++i) {
    const fs::path dir = root / kOld / ("lib" + std::to_string(i / kFilesPerFolder));
    if (i % kFilesPerFolder == 0) fs::create_directories(dir);
    std::ofstream(dir / ("f" + std::to_string(i) + ".dll"), std::ios::binary) << bytes;
  }
  ::sync();
}

pid_t StartOldClient() { return Spawn({"/bin/sleep", "infinity"}); }

struct Setup {
  fs::path home;
  fs::path root;  // the install root
  fs::path mark;
  std::string launcher;
};

Setup Prepare(const fs::path& scratch) {
  Setup s;
  s.home = bench::NewHome(scratch, "home");
  s.root = s.home / "install";
  fs::create_directories(s.root / kCurrent);
  const std::wstring key = MultiInst::Instance()->GetComponentRegRoot(1);
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"InstallRoot", base::gstring::FromPath(s.root));
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"Version", base::gstring::FromPath(fs::path(kCurrent)));
  s.launcher = (s.root / "QuarrionLauncher.exe").string();
  fs::copy_file(QUARRION_BIN_DIR "/relaunch_mark", s.launcher, fs::copy_options::overwrite_existing);
  s.mark = scratch / "launched";
  ::setenv("QUARRION_RELAUNCH_MARK", s.mark.c_str(), 1);
  return s;
}

// The helper's round: milliseconds from the old client's exit to the
// launcher's start, or unset when something went wrong.
std::optional<double> HelperRound(const Setup& s, int files) {
  MakeOldVersion(s.root, files);
  fs::remove(s.mark);
  const pid_t client = StartOldClient();
  const pid_t helper = Spawn({QUARRION_BIN_DIR "/QuarrionUpdate.exe", "--appstore-pid", std::to_string(client)});
  if (client < 0 || helper < 0) return std::nullopt;
  // The helper is waiting once it said so in its own log (the file name ends
  // in its pid); then the old client lives on a while, as it does for a user.
  const std::string own_log = "_" + std::to_string(helper) + ".log";
  const std::int64_t until = NowNs() + 20000000000LL;
  bool waiting = false;
  while (!waiting && NowNs() < until) {
    std::error_code ec;
    for (fs::directory_iterator it(s.home / "logs", ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() > own_log.size() && name.compare(name.size() - own_log.size(), own_log.size(), own_log) == 0 &&
          ReadWhole(it->path()).find("RestartAppStore begin") != std::string::npos) waiting = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
  const std::int64_t exit_ns = NowNs();
  ::kill(client, SIGKILL);
  ::waitpid(client, nullptr, 0);
  const auto mark = WaitForMark(s.mark, 20000);
  const bool helper_ok = Reap(helper);
  if (!waiting || !mark || !helper_ok || fs::exists(s.root / kOld)) return std::nullopt;
  return static_cast<double>(*mark - exit_ns) / 1e6;
}

// The floor's round: the old client killed, `rm -rf`, the launcher started.
std::optional<double> FloorRound(const Setup& s, int files) {
  MakeOldVersion(s.root, files);
  fs::remove(s.mark);
  const pid_t client = StartOldClient();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::int64_t exit_ns = NowNs();
  ::kill(client, SIGKILL);
  ::waitpid(client, nullptr, 0);
  if (!Reap(Spawn({"/bin/rm", "-rf", (s.root / kOld).string()}))) return std::nullopt;
  const pid_t launcher = Spawn({s.launcher});
  const auto mark = WaitForMark(s.mark, 20000);
  Reap(launcher);
  if (!mark) return std::nullopt;
  return static_cast<double>(*mark - exit_ns) / 1e6;
}

const char* Kind(const fs::path& p) {
  struct statfs info{};
  if (::statfs(p.c_str(), &info) != 0) return "?";
  return info.f_type == 0x01021994 ? "tmpfs" : "disk";
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  int files = 2000;
  bool keep = false;  // leaves the homes (logs, events) to read
  std::vector<std::string> bases = {"/dev/shm", "/var/tmp"};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
    if (std::strncmp(argv[i], "--files=", 8) == 0) files = std::max(1, std::atoi(argv[i] + 8));
    if (std::strncmp(argv[i], "--in=", 5) == 0) bases = {argv[i] + 5};
    if (std::strcmp(argv[i], "--keep") == 0) keep = true;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int failures = 0;
  std::printf("client back after the old client's exit, one old version of %d files, median of %d:\n", files,
              rounds);
  std::printf("  %-6s %-16s %12s %22s %10s\n", "where", "folder", "helper ms", "rm -rf + launcher ms",
              "extra ms");
  for (const std::string& base : bases) {
    std::string pattern = base + "/quarrion-relaunch-bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "cannot make a folder in %s\n", base.c_str());
      ++failures;
      continue;
    }
    const fs::path scratch = pattern;
    const Setup setup = Prepare(scratch);
    // One run lays out the home (registry, databases), as the install did.
    if (!HelperRound(setup, files)) {
      std::fprintf(stderr, "the helper's first round failed in %s\n", base.c_str());
      ++failures;
    }
    std::vector<double> helper, floor;
    for (int i = 0; i < rounds; ++i) {
      if (const auto h = HelperRound(setup, files)) helper.push_back(*h); else ++failures;
      if (const auto f = FloorRound(setup, files)) floor.push_back(*f); else ++failures;
    }
    if (!helper.empty() && !floor.empty()) {
      const double h = Median(helper), f = Median(floor);
      std::printf("  %-6s %-16s %12.1f %22.1f %10.1f\n", Kind(scratch), base.c_str(), h, f, h - f);
    }
    std::error_code ec;
    if (keep) {
      std::printf("  kept: %s\n", scratch.c_str());
    } else {
      fs::remove_all(scratch, ec);
    }
  }
  if (failures) std::fprintf(stderr, "%d rounds failed\n", failures);
  return failures ? 1 : 0;
}
