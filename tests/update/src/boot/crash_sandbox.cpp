#include "crash_sandbox.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "support/standins.h"
#include "support/test_env.h"

extern char** environ;

namespace crashtest {

Run RunProgram(const fs::path& program, const std::vector<std::string>& args, const fs::path& home,
               const std::vector<std::string>& extra_env, const fs::path& directory) {
  // A crash must not leave a core file behind (children inherit this).
  rlimit no_core {0, 0};
  ::getrlimit(RLIMIT_CORE, &no_core);
  no_core.rlim_cur = 0;
  ::setrlimit(RLIMIT_CORE, &no_core);

  const fs::path runtime = home / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  std::vector<std::string> env;
  std::vector<std::string> overrides = {"QUARRION_HOME=" + home.string(),
                                        "QT_QPA_PLATFORM=offscreen",
                                        "XDG_RUNTIME_DIR=" + runtime.string()};
  auto name_of = [](const std::string& e) { return e.substr(0, e.find('=')); };
  // An extra entry replaces a default of the same name (a relative home).
  for (const std::string& extra : extra_env) {
    std::erase_if(overrides, [&](const std::string& o) { return name_of(o) == name_of(extra); });
    overrides.push_back(extra);
  }
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = entry.rfind("QUARRION_TEST_", 0) == 0 || entry.rfind("QUARRION_STANDIN", 0) == 0;
    for (const std::string& o : overrides) replaced = replaced || name_of(o) == name_of(entry);
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());

  std::vector<std::string> all_args = {program.string()};
  all_args.insert(all_args.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all_args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  Run run;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!directory.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  const int spawned =
      ::posix_spawn(&run.pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    run.status = -1;
    return run;
  }
  // Bounded: a helper that hangs while crashing fails the test, not the run.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    const pid_t r = ::waitpid(run.pid, &run.status, WNOHANG);
    if (r == run.pid) return run;
    if (r < 0 && errno != EINTR) {
      run.status = -1;
      return run;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(run.pid, SIGKILL);
  ::waitpid(run.pid, &run.status, 0);
  run.hung = true;
  return run;
}

fs::path HelperProgram() { return testenv::BinDir() / "QuarrionUpdate.exe"; }
fs::path CrashTriggerProgram() { return testenv::BinDir() / "QuarrionUpdateCrashTrigger.exe"; }

void CopyFromBin(const fs::path& directory, const std::vector<std::string>& names) {
  fs::create_directories(directory);
  for (const std::string& name : names) {
    fs::copy_file(testenv::BinDir() / name, directory / name, fs::copy_options::overwrite_existing);
  }
}

std::vector<fs::path> CrashRecords(const fs::path& home) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(home / "temp", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("crash_", 0) == 0 && entry.path().extension() == ".json") {
      found.push_back(entry.path());
    }
  }
  return found;
}

nlohmann::json ReadJson(const fs::path& file) {
  return nlohmann::json::parse(testenv::ReadFile(file), nullptr, false);
}

std::string LogText(const fs::path& home) {
  std::string text;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(home / "logs", ec)) {
    text += testenv::ReadFile(entry.path());
  }
  return text;
}

fs::path InstallAssistant(const fs::path& home) {
  MultiInst* inst = MultiInst::Instance();
  const fs::path directory = base::gstring::ToPath(inst->GetComponentInstallRoot(1, false)) /
                             base::gstring::ToPath(inst->GetComponentVersion(1));
  fs::create_directories(testenv::StandinDirectory());
  std::ofstream(testenv::StandinDirectory() / "QuarrionAssistant.exe.exit") << "0";
  return testenv::InstallStandin(directory, testenv::kAssistantExe);
}

std::vector<std::string> WaitForAssistantArgv() {
  // The assistant is started without waiting: it may record after the
  // crashed process is gone.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    for (const auto& command : testenv::ReadStandinCommands()) {
      if (command.name == testenv::kAssistantExe) return command.argv;
    }
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Describe(const Run& run) {
  if (run.hung) return "still running after two minutes";
  if (WIFSIGNALED(run.status)) return "killed by signal " + std::to_string(WTERMSIG(run.status));
  if (WIFEXITED(run.status)) return "exit code " + std::to_string(WEXITSTATUS(run.status));
  return "status " + std::to_string(run.status);
}

}  // namespace crashtest
