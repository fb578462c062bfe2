// Removal of an old version directory: the cleanup's descriptor-relative walk
// against `rm -rf` on an identical tree of about 20,000 files in nested
// folders. Each iteration builds two fresh trees (not timed) and removes one
// each way.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

double RemoveWithCleanup(const fs::path& tree) {
  const auto start = std::chrono::steady_clock::now();
  bool all = true;
  update::RemovePath(
      tree, [](const fs::path&) { return true; },
      [](const fs::path& p, bool removed, util::filesystem::err) {
        std::error_code ec;
        if (!removed) update::ForceDeleteFile(p, ec);
        return true;
      },
      &all);
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

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = (fs::temp_directory_path() / "quarrion-cleanup-bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  g_scratch = pattern;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(g_scratch, ec);
  if (g_cleanup_ms > 0 && g_rm_ms > 0) {
    std::printf("\n%d files: cleanup removal %.1f ms, rm -rf %.1f ms, ratio %.2f\n",
                kTop * kSub * kFiles, g_cleanup_ms, g_rm_ms, g_cleanup_ms / g_rm_ms);
  }
  return 0;
}
