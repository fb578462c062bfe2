#include "support/config_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "support/child.h"
#include "support/test_env.h"

namespace testenv {

namespace fs = std::filesystem;

namespace {

// Runs a program to its end; its exit code, or -1 when it could not start.
int RunToEnd(const fs::path& program, const std::vector<std::string>& args) {
  Child child = StartChild(program, {.arguments = args});
  if (!child.valid()) return -1;
  return static_cast<int>(child.Wait(platform::kInfinite).value_or(0));
}

void WriteAtomically(const fs::path& path, const std::string& text) {
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  fs::rename(tmp, path);
}

// Polls a condition that another process makes true; gives up at `limit`.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The CAs made by this test program, removed when it ends.
struct CaDirectories {
  std::mutex mutex;
  std::map<std::string, fs::path> made;
  ~CaDirectories() {
    std::error_code ec;
    for (const auto& [name, dir] : made) fs::remove_all(dir, ec);
  }
};

CaDirectories& Cas() {
  static CaDirectories cas;
  return cas;
}

}  // namespace

fs::path ConfigServiceProgram() { return BinDir() / "quarrion_config_service"; }

fs::path TestCaDirectory(const std::string& name) {
  CaDirectories& cas = Cas();
  std::lock_guard<std::mutex> lock(cas.mutex);
  auto it = cas.made.find(name);
  if (it != cas.made.end()) return it->second;
  const fs::path dir = fs::temp_directory_path() /
                       ("quarrion-test-ca." + std::to_string(::getpid()) + "." + name);
  const int rc =
      RunToEnd("/bin/bash", {(SourceDir() / "scripts" / "make-test-ca.sh").string(), dir.string()});
  if (rc != 0 || !fs::exists(dir / "server.crt")) {
    ADD_FAILURE() << "make-test-ca.sh failed with " << rc;
    return dir;
  }
  cas.made.emplace(name, dir);
  return dir;
}

void WriteServiceDocument(const fs::path& docs, const std::string& package, const std::string& key,
                          const std::string& text) {
  fs::create_directories(docs / package);
  std::ofstream out(docs / package / (key + ".json"), std::ios::binary | std::ios::trunc);
  out << text;
}

std::unique_ptr<ConfigService> ConfigService::Start(const Options& options) {
  std::unique_ptr<ConfigService> service(new ConfigService());
  service->options_ = options;
  fs::create_directories(options.state_dir);
  fs::create_directories(options.docs);
  std::vector<std::string> args = {"--docs=" + options.docs.string(),
                                   "--state-dir=" + options.state_dir.string(),
                                   "--exit-with-parent"};
  if (options.plain) {
    args.push_back("--plain");
  } else {
    const fs::path tls = options.tls_dir.empty() ? TestCaDirectory() : options.tls_dir;
    args.push_back("--tls-dir=" + tls.string());
  }
  args.insert(args.end(), options.args.begin(), options.args.end());

  Child child = StartChild(ConfigServiceProgram(), {.arguments = args});
  if (!child.valid()) {
    ADD_FAILURE() << "cannot start " << ConfigServiceProgram();
    return nullptr;
  }
  const platform::Pid pid = child.pid();
  service->process_ = StandinProcess(child.Release(), pid, ConfigServiceProgram());

  const fs::path ports_file = options.state_dir / "ports.json";
  StandinProcess& process = service->process_;
  if (!WaitFor([&] { return fs::exists(ports_file) || !process.Running(); },
               std::chrono::seconds(20)) ||
      !fs::exists(ports_file)) {
    ADD_FAILURE() << "the service did not come up (exit code " << process.ExitCode() << ")";
    return nullptr;
  }
  const nlohmann::json ports = nlohmann::json::parse(ReadFile(ports_file));
  service->ports_[0] = ports.at("primary").get<int>();
  service->ports_[1] = ports.at("alternative").get<int>();
  return service;
}

ConfigService::~ConfigService() { Kill(); }

void ConfigService::Kill() { process_.Stop(); }

std::string ConfigService::Base(int port) const {
  return std::string(options_.plain ? "http" : "https") + "://127.0.0.1:" + std::to_string(port);
}

std::string ConfigService::PrimaryBase() const { return Base(ports_[0]); }
std::string ConfigService::AlternativeBase() const { return Base(ports_[1]); }

bool ConfigService::Control(nlohmann::json behaviour) {
  behaviour["generation"] = ++generation_;
  WriteAtomically(options_.state_dir / "control.json", behaviour.dump());
  const fs::path ack = options_.state_dir / "control.applied";
  nlohmann::json applied;
  const bool ok = WaitFor(
      [&] {
        applied = nlohmann::json::parse(ReadFile(ack), nullptr, false);
        return applied.is_object() && applied.value("generation", -1LL) == generation_;
      },
      std::chrono::seconds(20));
  if (!ok) ADD_FAILURE() << "the service did not apply " << behaviour.dump();
  if (ok && applied.contains("error")) {
    ADD_FAILURE() << "the service rejected " << behaviour.dump() << ": " << applied["error"];
    return false;
  }
  return ok;
}

std::vector<nlohmann::json> ConfigService::Requests() const {
  std::vector<nlohmann::json> out;
  std::istringstream in(ReadFile(options_.state_dir / "requests.jsonl"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(nlohmann::json::parse(line));
  }
  return out;
}

void ConfigService::UseInSandbox() const {
  MultiInst* inst = MultiInst::Instance();
  const std::wstring env = inst->GetNimbrelEnvRegRoot();
  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceUrl",
                      base::gstring::FromUtf8(PrimaryBase()));
  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceAltUrl",
                      base::gstring::FromUtf8(AlternativeBase()));
  if (!options_.plain) {
    const fs::path tls = options_.tls_dir.empty() ? TestCaDirectory() : options_.tls_dir;
    base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceCaFile",
                        base::gstring::FromPath(tls / "ca.crt"));
  }
}

}  // namespace testenv
