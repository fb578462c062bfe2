// What an event costs the thread that raises it: on the main thread the
// reporter only copies the event into its worker's queue; elsewhere (and for
// the worker itself) the event is serialised and written by the SDK at once.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "base/multi_inst.h"
#include "common/report/reporter.h"
#include "sdk/skirra/skirra_client.h"

namespace {

using nimbrel_report::Reporter;

// A "kill_process" event as the restart sends it.
const std::map<std::string, std::string> kParams = {
    {"proc_name", "C:\\Program Files\\Quarrion\\5.2.1.1004\\QuarrionEmulator.exe"},
    {"pid", "48213"},
    {"process_killer_name", "QuarrionUpdate"},
    {"process_kill_location", "update::RestartAppStore"},
    {"success", "succ"},
    {"error_code", "0"},
};

std::filesystem::path g_home;

void SetUpReporter() {
  skirra::SkirraConfig config;
  config.app_key = "0XNA71QDKE4RWTCF";
  config.app_type = 1;
  config.data_directory = (g_home / "appdata" / "4").string();
  std::map<std::string, std::string> common;
  for (int i = 0; i < 25; ++i) common["static_" + std::to_string(i)] = "value " + std::to_string(i);
  Reporter::Getters getters;
  for (int i = 0; i < 45; ++i) getters["volatile_" + std::to_string(i)] = [i] { return std::to_string(i); };
  Reporter::Instance().Init(config, common, getters);
}

void BM_ReportOnMainThread(benchmark::State& state) {
  SetUpReporter();
  for (auto _ : state) Reporter::Instance().Report("kill_process", kParams);
  // The backlog is the worker's, not the main thread's: drained after the
  // timed loop.
  Reporter::Instance().TakeWorker().reset();
}
BENCHMARK(BM_ReportOnMainThread);

void BM_SendNowSynchronous(benchmark::State& state) {
  SetUpReporter();
  for (auto _ : state) Reporter::Instance().SendNow("kill_process", kParams);
  Reporter::Instance().TakeWorker().reset();
}
BENCHMARK(BM_SendNowSynchronous);

// Collects the per-iteration times so they can be printed next to each other.
class SideBySide : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const double ns = run.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                        benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[run.benchmark_name()] = ns;
    }
  }
  void Summary() const {
    const auto queued = times_.find("BM_ReportOnMainThread");
    const auto sync = times_.find("BM_SendNowSynchronous");
    if (queued == times_.end() || sync == times_.end() || queued->second <= 0) return;
    std::printf("\n%-34s %12s\n", "kill_process (6 parameters)", "ns/event");
    std::printf("%-34s %12.0f\n", "Report on the main thread (queued)", queued->second);
    std::printf("%-34s %12.0f\n", "SendNow (synchronous)", sync->second);
    std::printf("main thread pays %.1f%% of a synchronous send (%.1fx cheaper)\n",
                100.0 * queued->second / sync->second, sync->second / queued->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarrion-bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  g_home = pattern;
  ::setenv("QUARRION_HOME", g_home.c_str(), 1);
  MultiInst::Instance()->Init(L"Quarrion", 0);
  Reporter::SetDebugModeForTesting(false);

  benchmark::Initialize(&argc, argv);
  SideBySide reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Summary();
  benchmark::Shutdown();

  skirra::SkirraClient::UninitSDK();
  std::error_code ec;
  std::filesystem::remove_all(g_home, ec);
  return 0;
}
