// The delayed probes must never lengthen a helper run. Prints the wall time
// of the built helper with and without them, in a run whose main pass lasts
// about 1.5 s (it waits for an old client that ends by itself):
//   without: no assistant, no demo program;
//   with:    a slow assistant (its OpenGL probe takes 3 s), a slow demo
//            program (3 s) and a slow diagnostic tool (3 s), so probes are
//            still running when the main pass ends and the process exits.
// Each run gets a fresh product home; a run must exit 0 within 30 s.
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "platform/launch.h"
#include "platform/process.h"

#include "bench_support.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::Median;

namespace {

constexpr int kRounds = 3;

void Install(const fs::path& from, const fs::path& dir, const std::string& name) {
  fs::create_directories(dir);
  fs::copy_file(from, dir / name, fs::copy_options::overwrite_existing);
}

// One helper run in a fresh home; seconds, or a negative number on failure.
double Run(const fs::path& scratch, int round, bool probes) {
  const fs::path bin = QUARRION_BIN_DIR;
  const fs::path home = bench::NewHome(scratch, (probes ? "with" : "without") + std::to_string(round));
  const fs::path component = MultiInst::Instance()->GetCurrentComponentDirectory(1, true);
  const fs::path standin = bin / "standins" / "QuarrionAssistant.exe";
  if (probes) {
    Install(standin, component, "QuarrionAssistant.exe");
    Install(standin, component, "opengl_checker.exe");  // runs for its lifetime
  }
  platform::ProcessHandle client =
      bench::Start(bin / "standins" / "Quarrion.exe", L"--standin-lifetime-ms=1500");
  const std::wstring env = probes ? L"QUARRION_STANDIN_LIFETIME_MS=3000 QUARRION_DXDIAG_DELAY_MS=3000 "
                                  : L"";
  const auto start = Clock::now();
  const std::optional<std::uint32_t> code =
      bench::RunToEnd("/usr/bin/env",
                      env + L"QT_QPA_PLATFORM=offscreen \"" + base::gstring::FromPath(bin / "QuarrionUpdate.exe") +
                          L"\" --appstore-pid " + std::to_wstring(platform::GetProcessId(client.get())),
                      30000);
  if (!code) {
    std::fprintf(stderr, "helper still running after 30 s\n");
    return -1;
  }
  const double seconds = bench::Seconds(Clock::now() - start);
  platform::WaitForProcess(client.get(), 10000);
  if (*code != 0) {
    std::fprintf(stderr, "helper exit code %u\n", *code);
    return -1;
  }
  if (probes) {
    // Both slow probes had started (each records its start) before the exit.
    std::ifstream in(home / "standin" / "commands.jsonl");
    std::string line;
    bool assistant = false, demo = false;
    while (std::getline(in, line)) {
      assistant = assistant || line.find("check-opengl-process") != std::string::npos;
      demo = demo || line.find("\"opengl_checker.exe\"") != std::string::npos;
    }
    std::printf("  probes started before the exit: assistant %s, demo %s\n", assistant ? "yes" : "no",
                demo ? "yes" : "no");
  }
  return seconds;
}

// The probes a helper started outlive it by design; they still write into
// their home (its registry, the standin records) after the helper's exit.
// Waits, 30 s at most, until no process started under `scratch` runs, so the
// folder is removed after the last write and not before it.
void WaitForProcessesUnder(const fs::path& scratch) {
  const std::string prefix = scratch.string() + "/";
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::vector<platform::ProcessHandle> running;
    platform::EnumerateProcesses([&](const platform::ProcessEntry& e) {
      const auto home = platform::ReadProcessEnvironmentVariable(e.pid, "QUARRION_HOME");
      if (home && *home && (*home)->rfind(prefix, 0) == 0) {
        auto opened = platform::OpenProcess(e.pid, platform::kSynchronize);
        if (opened) running.push_back(std::move(opened).value());
      }
      return true;
    });
    if (running.empty() || Clock::now() >= deadline) return;
    for (const auto& p : running) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      platform::WaitForProcess(p.get(), static_cast<std::uint32_t>(std::max<long long>(left, 0)));
    }
  }
}

}  // namespace

int main() {
  char pattern[] = "/tmp/quarrion-probe-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path scratch = pattern;
  std::vector<double> without, with;
  bool failed = false;
  for (int round = 0; round < kRounds; ++round) {
    const double a = Run(scratch, round, false);
    const double b = Run(scratch, round, true);
    failed = failed || a < 0 || b < 0;
    without.push_back(a);
    with.push_back(b);
    std::printf("round %d: without probes %.3f s, with slow probes %.3f s\n", round, a, b);
  }
  const double m_without = Median(without), m_with = Median(with);
  std::printf("median: without %.3f s, with %.3f s, ratio %.2f (the probes run 3 s each)\n",
              m_without, m_with, m_with / m_without);
  WaitForProcessesUnder(scratch);
  std::error_code ec;
  fs::remove_all(scratch, ec);
  if (ec || fs::exists(scratch)) {
    std::fprintf(stderr, "%s could not be removed: %s\n", scratch.c_str(), ec.message().c_str());
    failed = true;
  }
  return failed ? 1 : 0;
}
