// The configuration refresh of one helper run, measured as a user meets it:
//   1. 500 installed applications (plus the three built-ins) against the
//      service stand-in on loopback over HTTPS, next to two floors: the same
//      HTTPS round trips, Configs.db commits and synced guest files made alone
//      in this process, once with a new TLS connection per package and once
//      over one kept-alive connection (the limit; its requests go without
//      Nagle's delay as the helper's do, so the floor holds no stall);
//   2. the whole run with the service refusing connections (3 + 50 packages);
//   3. the whole run with the service accepting and never answering, which
//      the run's network budget must bound.
// Each case gets a fresh product home; the helper is the built program.
// `--apps=N` sets the number of installed applications of case 1 (500), e.g.
// a few for a run under strace; `--rounds=N` the turns of helper and limit (3), `--keep` leaves the homes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/config_table/config_table.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "qtbaseex/http/sync_http_request.h"

#include "bench_support.h"
#include "support/installed_apps.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::NewHome;
using bench::RunToEnd;
using bench::Seconds;
using bench::Start;
using bench::Median;

namespace {

const char* kBuiltins[] = {"com.morvath.nimbrel", "com.morvath.launcher", "com.android.camera2"};
const char* kKinds[] = {"keymapping", "smartkeyconf", "configfile", "appconfigjson", "globalconfig"};

std::string ReadWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::wstring Quoted(const fs::path& p) { return L"\"" + base::gstring::FromPath(p) + L"\""; }

struct Service {
  platform::ProcessHandle process;
  fs::path state;
  int ports[2] = {0, 0};
  ~Service() {
    if (process) {
      platform::RealTerminateProcess(process.get(), 1);
      platform::WaitForProcess(process.get(), 5000);
    }
  }
};

void StartService(Service& s, const fs::path& home, const fs::path& ca, const std::wstring& extra) {
  s.state = home / "service" / "state";
  s.process = Start(QUARRION_BIN_DIR "/quarrion_config_service",
                    L"--docs=" + Quoted(home / "service" / "docs") + L" --state-dir=" + Quoted(s.state) +
                        L" --tls-dir=" + Quoted(ca) + L" --exit-with-parent " + extra);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline && !fs::exists(s.state / "ports.json")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto ports = nlohmann::json::parse(ReadWhole(s.state / "ports.json"), nullptr, false);
  if (!ports.is_object()) {
    std::fprintf(stderr, "the service did not start\n");
    std::exit(1);
  }
  s.ports[0] = ports.at("primary");
  s.ports[1] = ports.at("alternative");
  const std::wstring env = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceUrl", L"https://127.0.0.1:" + std::to_wstring(s.ports[0]));
  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceAltUrl", L"https://127.0.0.1:" + std::to_wstring(s.ports[1]));
  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceCaFile", base::gstring::FromPath(ca / "ca.crt"));
}

std::vector<std::string> Packages(int apps) {
  std::vector<std::string> all(std::begin(kBuiltins), std::end(kBuiltins));
  for (int i = 0; i < apps; ++i) all.push_back("com.bench.app" + std::to_string(i));
  return all;
}

void WriteDocuments(const fs::path& home, const std::vector<std::string>& packages) {
  for (const auto& p : packages) {
    const fs::path dir = home / "service" / "docs" / p;
    fs::create_directories(dir);
    for (const char* kind : kKinds) {
      std::ofstream(dir / (std::string(kind) + ".json")) << R"({"owner":")" << p << R"(","kind":")" << kind << R"("})";
    }
  }
}

// The installed applications: the packages that are not built-ins.
void InstallApps(const std::vector<std::string>& packages) {
  std::vector<std::string> apps;
  for (const auto& p : packages) {
    if (p.rfind("com.bench.", 0) == 0) apps.push_back(p);
  }
  testenv::WriteInstalledApps(
      base::gstring::ToPath(MultiInst::Instance()->GetAppdataNimbrelDirectory(4, true)) / "InstalledApp.db", apps);
}

// Runs the helper once; its wall time.
double RunHelper(std::uint32_t timeout_ms) {
  const auto t0 = Clock::now();
  if (!RunToEnd(QUARRION_BIN_DIR "/QuarrionUpdate.exe", L"", timeout_ms)) {
    std::fprintf(stderr, "the helper did not end in %u ms\n", timeout_ms);
    std::exit(1);
  }
  return Seconds(Clock::now() - t0);
}

std::size_t Lines(const fs::path& p) {
  std::ifstream in(p);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

// What each package costs at the least: its request, its five commits and
// its guest file written and synced.
double Floor(const fs::path& home, const std::string& name, const std::vector<std::string>& packages) {
  config_table::ConfigTable table(home / name / "Configs.db");
  const fs::path guests = home / name / "config";
  fs::create_directories(guests);
  const BackendUrl url = ConfigServiceUrl(QStringLiteral("/v3/quarrion_get_corvale_conf"));
  int failures = 0;
  const auto t0 = Clock::now();
  for (const auto& p : packages) {
    const std::string body = nlohmann::json{{"android", "Android13"}, {"group", p}}.dump();
    std::string answer;
    SyncHttpRequest request(url);
    request.OnSuccess([&](const QString& b, int) { answer = b.toStdString(); })
        .OnFailure([&](const QString&, int, int) { ++failures; });
    request.SetHeader(QStringLiteral("{}")).SetData(QString::fromStdString(body));
    request.Post();
    for (const char* kind : kKinds) {
      table.Save({"nimbrel." + p + "." + kind, answer.substr(0, 64), false, ""});
    }
    const std::string file = (guests / (p + ".conf")).string();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const std::string text = answer.substr(0, 256);
      if (::write(fd, text.data(), text.size()) < 0) ++failures;
      ::fsync(fd);
      ::close(fd);
    }
  }
  const double s = Seconds(Clock::now() - t0);
  if (failures) std::fprintf(stderr, "floor %s: %d requests failed\n", name.c_str(), failures);
  return s;
}

// Processor seconds (user and system) of this process, or of its ended
// children.
double CpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Requests of the lines [first_line, end_line) over distinct connections, as the helper's
// requests counted them.
std::size_t Connections(const fs::path& requests, std::size_t first_line, std::size_t end_line) {
  std::ifstream in(requests);
  std::vector<std::string> seen;
  std::size_t at = 0;
  for (std::string line; std::getline(in, line); ++at) {
    if (at < first_line || at >= end_line) continue;
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    const std::string c = j.value("connection", std::string());
    if (std::find(seen.begin(), seen.end(), c) == seen.end()) seen.push_back(c);
  }
  return seen.size();
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QCoreApplication app(argc, argv);
  // Installed applications of the full refresh (a smaller count for tracing).
  int apps = 500;
  int rounds = 3;
  bool keep = false;  // leaves the product homes (logs, databases) to read
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--apps=", 0) == 0) apps = std::max(1, std::atoi(argv[i] + 7));
    if (std::string(argv[i]).rfind("--rounds=", 0) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
    if (std::string(argv[i]) == "--keep") keep = true;
  }
  char pattern[] = "/tmp/quarrion-refresh-bench.XXXXXX";
  const fs::path scratch = ::mkdtemp(pattern);
  const fs::path ca = scratch / "ca";
  if (RunToEnd("/bin/bash", Quoted(fs::path(QUARRION_SOURCE_DIR) / "scripts" / "make-test-ca.sh") + L" " + Quoted(ca),
               60000) != 0u) {
    std::fprintf(stderr, "cannot make the test CA\n");
    return 1;
  }

  {
    const fs::path home = NewHome(scratch, "full");
    const auto packages = Packages(apps);
    WriteDocuments(home, packages);
    InstallApps(packages);
    Service service;
    StartService(service, home, ca, L"--keep-alive=100000");
    // Disk syncs make single runs swing widely: the helper and the limit
    // take turns, and the medians are compared.
    std::vector<double> runs, limits, run_cpu, limit_cpu;
    std::size_t served = 0, connections = 0;
    for (int round = 0; round < rounds; ++round) {
      const std::size_t before = Lines(service.state / "requests.jsonl");
      const double children_before = CpuSeconds(RUSAGE_CHILDREN);
      runs.push_back(RunHelper(600000));
      run_cpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - children_before);
      const std::size_t after = Lines(service.state / "requests.jsonl");
      served = after - before;
      connections = std::max(connections, Connections(service.state / "requests.jsonl", before, after));
      // The limit: this process's requests over the kept-alive service.
      const double self_before = CpuSeconds(RUSAGE_SELF);
      limits.push_back(Floor(home, "floor-kept-alive", packages));
      limit_cpu.push_back(CpuSeconds(RUSAGE_SELF) - self_before);
    }
    const double run = Median(runs);
    const double kept_alive = Median(limits);
    // One TLS connection per package: the same service closing each
    // connection after its answer.
    Service closing;
    StartService(closing, NewHome(scratch, "closing"), ca, L"");
    const double per_connection = Floor(home, "floor-per-connection", packages);
    std::printf("refresh of %zu packages against the local service, median of %d: %.2f s "
                "(each run: %zu requests served over at most %zu connections)\n",
                packages.size(), rounds, run, served, connections);
    std::printf("  runs:");
    for (double r : runs) std::printf(" %.2f", r);
    std::printf(" s; the limit's:");
    for (double l : limits) std::printf(" %.2f", l);
    std::printf(" s\n");
    // Time a run spends on the processor, which the disk's swings do not
    // touch: the helper's work per package beyond the limit's shows here.
    std::printf("  processor time, median: helper %.2f s, the limit %.2f s (%.2f ms per package more)\n",
                Median(run_cpu), Median(limit_cpu),
                (Median(run_cpu) - Median(limit_cpu)) * 1000.0 / static_cast<double>(packages.size()));
    std::printf("  floor, the same HTTPS round trips, %zu Configs.db commits and %zu synced guest files alone:\n",
                packages.size() * 5, packages.size());
    std::printf("    one TLS connection per package: %.2f s, ratio run / floor: %.2f\n", per_connection,
                per_connection > 0 ? run / per_connection : 0.0);
    std::printf("    one kept-alive connection (the limit): %.2f s, ratio run / floor: %.2f\n", kept_alive,
                kept_alive > 0 ? run / kept_alive : 0.0);
  }
  {
    const fs::path home = NewHome(scratch, "refused");
    const auto packages = Packages(50);
    InstallApps(packages);
    Service service;
    StartService(service, home, ca, L"--refuse=both");
    const double run = RunHelper(600000);
    std::printf("whole run, service refusing connections, %zu packages (3 attempts each): %.2f s\n",
                packages.size(), run);
  }
  {
    const fs::path home = NewHome(scratch, "stalled");
    const auto packages = Packages(50);
    InstallApps(packages);
    base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(), L"ConfigRefreshBudgetMs",
                        std::uint64_t{5000});
    Service service;
    StartService(service, home, ca, L"--stall");
    const double run = RunHelper(600000);
    std::printf("whole run, service stalling, %zu packages, network budget 5.0 s: %.2f s\n", packages.size(), run);
  }
  std::error_code ec;
  if (keep) {
    std::printf("kept: %s\n", scratch.c_str());
  } else {
    fs::remove_all(scratch, ec);
  }
  return 0;
}
