// A helper run with nothing to do - no old client, no old versions, no
// installed applications, the service not configured - next to an empty
// QApplication on the offscreen platform started the same way: median wall
// time of each, their ratio, and the helper's peak resident memory.
// The empty application is this program started with --empty-qapplication.
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

extern char** environ;

namespace fs = std::filesystem;
using bench::Clock;
using bench::Median;

namespace {

constexpr int kRounds = 15;

struct Sample {
  double seconds = -1;
  double peak_mib = 0;
};

// Runs `argv` to its end in this process's environment.
Sample Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto t0 = Clock::now();
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {};
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  Sample s;
  s.seconds = bench::Seconds(Clock::now() - t0);
  s.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (argc > 1 && std::string(argv[1]) == "--empty-qapplication") {
    QApplication app(argc, argv);
    return 0;
  }
  char pattern[] = "/tmp/quarrion-empty-run-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path scratch = pattern;
  bench::NewHome(scratch, "home");
  const std::string helper = QUARRION_BIN_DIR "/QuarrionUpdate.exe";
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  // The first run lays out the home (registry, databases); the measured runs
  // find everything in place, as every run after an install does.
  if (Run({helper}).seconds < 0) {
    std::fprintf(stderr, "the helper failed\n");
    return 1;
  }
  std::vector<double> helper_s, empty_s, helper_mib, empty_mib;
  for (int i = 0; i < kRounds; ++i) {
    const Sample h = Run({helper});
    const Sample e = Run({self, "--empty-qapplication"});
    if (h.seconds < 0 || e.seconds < 0) {
      std::fprintf(stderr, "a run failed\n");
      return 1;
    }
    helper_s.push_back(h.seconds);
    empty_s.push_back(e.seconds);
    helper_mib.push_back(h.peak_mib);
    empty_mib.push_back(e.peak_mib);
  }
  const double h = Median(helper_s), e = Median(empty_s);
  std::printf("run with nothing to do: %.1f ms, peak RSS %.1f MiB (median of %d)\n", h * 1000, Median(helper_mib),
              kRounds);
  std::printf("empty QApplication (offscreen): %.1f ms, peak RSS %.1f MiB\n", e * 1000, Median(empty_mib));
  std::printf("ratio run / empty application: %.2f\n", e > 0 ? h / e : 0.0);
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return 0;
}
