// Removal of an old version directory: the cleanup's descriptor-relative walk
// against `rm -rf` on an identical tree of about 20,000 files in nested
// folders. Each iteration builds two fresh trees (not timed) and removes one
// each way. Time swings with the machine's load; the system-call count does
// not, so it is printed as well when strace is installed: each side removes a
// tree in a process of its own under `strace -f -c`, less the same process
// removing nothing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "update/old_version_cleanup.h"

namespace fs = std::filesystem;

namespace {

// 20 top folders x 10 subfolders x 100 files = 20,000 files, plus a few
// levels of nesting as an installed client has.
constexpr int kTop = 20;
constexpr int kSub = 10;
constexpr int kFiles = 100;

fs::path g_scratch;

fs::path MakeTree(const std::string& name) {
  const fs::path root = g_scratch / name / "1.0.0.1";
  for (int t = 0; t < kTop; ++t) {
    for (int s = 0; s < kSub; ++s) {
      const fs::path dir = root / ("lib" + std::to_string(t)) / "plugins" / ("p" + std::to_string(s));
      fs::create_directories(dir);
      for (int f = 0; f < kFiles; ++f) {
        std::ofstream(dir / ("file" + std::to_string(f) + ".dll")) << "payload " << f;
      }
    }
  }
  return root;
}

// What the cleanup does with an old version folder: hold it open once, then
// remove it through that handle.
void CleanupRemoval(const fs::path& tree) {
  const update::HeldFolder held(tree);
  bool all = true;
  update::RemovePath(
      tree, [](const fs::path&) { return true; },
      [](const fs::path& p, bool removed, util::filesystem::err) {
        std::error_code ec;
        if (!removed) update::ForceDeleteFile(p, ec);
        return true;
      },
      &all);
}

// Brings both trees to the same state before either is removed. Written back
// first: a tree whose pages are still being written back when it is removed
// waits for that at every file, and the tree built first would always be the
// one to pay. Then a small removal nobody times: the first one after the
// write-back pays for the journal, up to ten times the rest here.
void SettleFileSystem() {
  const fs::path warm = g_scratch / "warm-up";
  fs::create_directories(warm);
  for (int f = 0; f < kFiles; ++f) std::ofstream(warm / ("file" + std::to_string(f)));
  ::sync();
  std::error_code ec;
  fs::remove_all(warm, ec);
}

double RemoveWithCleanup(const fs::path& tree) {
  const auto start = std::chrono::steady_clock::now();
  CleanupRemoval(tree);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double RemoveWithRm(const fs::path& tree) {
  const std::string command = "rm -rf '" + tree.string() + "'";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double g_cleanup_ms = 0;
double g_rm_ms = 0;

// Both trees are built before either is removed, and the order alternates, so
// neither side profits from the state the other leaves the file system in.
void BM_CleanupVsRmRf(benchmark::State& state) {
  double cleanup_total = 0;
  double rm_total = 0;
  int round = 0;
  for (auto _ : state) {
    const fs::path a = MakeTree("walk");
    const fs::path b = MakeTree("rm");
    SettleFileSystem();
    double cleanup_ms;
    double rm_ms;
    if (round++ % 2 == 0) {
      cleanup_ms = RemoveWithCleanup(a);
      rm_ms = RemoveWithRm(b);
    } else {
      rm_ms = RemoveWithRm(b);
      cleanup_ms = RemoveWithCleanup(a);
    }
    if (fs::exists(a) || fs::exists(b) || rm_ms < 0) {
      state.SkipWithError("a tree was not removed");
      return;
    }
    cleanup_total += cleanup_ms;
    rm_total += rm_ms;
    state.SetIterationTime(cleanup_ms / 1000.0);
  }
  g_cleanup_ms = cleanup_total / round;
  g_rm_ms = rm_total / round;
  state.counters["files"] = kTop * kSub * kFiles;
  state.counters["cleanup_ms"] = g_cleanup_ms;
  state.counters["rm_rf_ms"] = g_rm_ms;
  state.counters["ratio"] = g_cleanup_ms / g_rm_ms;
}

BENCHMARK(BM_CleanupVsRmRf)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

// The option under which this program removes one tree the cleanup's way and
// exits, so that a tracer can count that process alone.
constexpr char kRemoveOption[] = "--remove-with-cleanup";

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// The "total" line of `strace -c`: "100.00  0.012  1  24210  12 total", the
// fourth column being the number of calls. -1 when there is none.
long TotalCalls(const fs::path& summary) {
  std::ifstream in(summary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.size() >= 5 && words.back() == "total") return std::stol(words[3]);
  }
  return -1;
}

long CountCalls(const std::string& command) {
  const fs::path summary = g_scratch / "strace.txt";
  const std::string traced =
      "strace -f -c -o " + Quoted(summary) + " " + command + " >/dev/null 2>&1";
  if (std::system(traced.c_str()) != 0) return -1;
  return TotalCalls(summary);
}

// System calls of removing a fresh tree, less those of the same command
// given a path that does not exist (start-up, loading, exit).
long RemovalCalls(const std::string& program, const std::string& name) {
  const fs::path tree = MakeTree(name);
  const long with_tree = CountCalls(program + " " + Quoted(tree));
  const long without = CountCalls(program + " " + Quoted(g_scratch / "missing"));
  if (with_tree < 0 || without < 0 || fs::exists(tree)) return -1;
  return with_tree - without;
}

void PrintSystemCallCounts(const fs::path& self) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) {
    std::printf("system calls: count unavailable (strace is not installed)\n");
    return;
  }
  const long cleanup = RemovalCalls(Quoted(self) + " " + kRemoveOption, "count-walk");
  const long rm = RemovalCalls("rm -rf", "count-rm");
  if (cleanup <= 0 || rm <= 0) {
    std::printf("system calls: count unavailable (strace could not trace the removal)\n");
    return;
  }
  std::printf("system calls: cleanup removal %ld, rm -rf %ld, ratio %.2f\n", cleanup, rm,
              static_cast<double>(cleanup) / static_cast<double>(rm));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kRemoveOption) {
    CleanupRemoval(argv[2]);
    return 0;
  }
  std::string pattern = (fs::temp_directory_path() / "quarrion-cleanup-bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  g_scratch = pattern;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_cleanup_ms > 0 && g_rm_ms > 0) {
    std::printf("\n%d files: cleanup removal %.1f ms, rm -rf %.1f ms, ratio %.2f\n",
                kTop * kSub * kFiles, g_cleanup_ms, g_rm_ms, g_cleanup_ms / g_rm_ms);
  }
  PrintSystemCallCounts(fs::read_symlink("/proc/self/exe"));
  std::error_code ec;
  fs::remove_all(g_scratch, ec);
  return 0;
}
