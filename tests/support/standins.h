// The stand-in product programs (tools/standin) in tests: put a copy under a
// product name into a sandbox directory, start it, stop it, and read what it
// recorded under $QUARRION_HOME/standin/.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/process.h"
#include "support/child.h"

namespace testenv {

inline constexpr char kClientExe[] = "Quarrion.exe";
inline constexpr char kLauncherExe[] = "QuarrionLauncher.exe";
inline constexpr char kEmulatorExe[] = "QuarrionEmulator.exe";
inline constexpr char kAssistantExe[] = "QuarrionAssistant.exe";

// The built stand-in program (any of the four names: they are the same program).
std::filesystem::path StandinProgram(const std::string& name = kClientExe);

// Copies the stand-in into `directory` (created) as `name`, executable.
// Returns the new file's path.
std::filesystem::path InstallStandin(const std::filesystem::path& directory,
                                     const std::string& name);

// A started program; its destructor kills it (through the real terminate
// function, bypassing any hook) and waits for it, so no test leaks processes.
class StandinProcess {
 public:
  StandinProcess() = default;
  StandinProcess(platform::ProcessHandle handle, platform::Pid pid, std::filesystem::path path)
      : handle_(std::move(handle)), pid_(pid), path_(std::move(path)) {}
  ~StandinProcess() { Stop(); }
  StandinProcess(StandinProcess&&) = default;
  StandinProcess& operator=(StandinProcess&& other) noexcept {
    if (this != &other) {
      Stop();
      handle_ = std::move(other.handle_);
      pid_ = other.pid_;
      path_ = std::move(other.path_);
    }
    return *this;
  }

  platform::RawProcess get() const { return handle_.get(); }
  platform::ProcessHandle& handle() { return handle_; }
  platform::Pid pid() const { return pid_; }
  const std::filesystem::path& path() const { return path_; }
  bool valid() const { return handle_.valid(); }

  // True when it has ended (waits up to `timeout_ms`).
  bool WaitForExit(std::uint32_t timeout_ms);
  bool Running() { return valid() && !WaitForExit(0); }
  // Exit code once ended (259 while running).
  std::uint32_t ExitCode();
  // Kills it and waits for the end.
  void Stop();

 private:
  platform::ProcessHandle handle_;
  platform::Pid pid_ = 0;
  std::filesystem::path path_;
};

// Starts `program` with `parameters` (Windows command-line rules) in
// `directory` (empty: inherit) and waits until it has recorded its start in
// commands.jsonl (an emulator is then ready for quit requests). Returns an
// invalid process when the start failed or nothing was recorded in 10 s.
StandinProcess StartStandin(const std::filesystem::path& program,
                            const std::wstring& parameters = {},
                            const std::filesystem::path& directory = {});
// The same with exact arguments, and an environment when given.
StandinProcess StartStandin(const std::filesystem::path& program, const ChildOptions& options);

// One line of commands.jsonl; argv holds the exact bytes.
struct StandinCommand {
  std::string name;
  long long pid = 0;
  std::vector<std::string> argv;
  std::string cwd;
};

std::filesystem::path StandinDirectory();  // $QUARRION_HOME/standin
std::vector<StandinCommand> ReadStandinCommands();
// Lines of events.jsonl (quit requests served, quit commands' outcomes).
std::vector<nlohmann::json> ReadStandinEvents();
// Waits until commands.jsonl holds a line of `pid`.
bool WaitForStandinRecord(long long pid, std::chrono::milliseconds timeout);
// Held by a test while it starts product programs or looks for them by name:
// tests run in parallel and every process of the machine is visible to a
// search by image name. One machine-wide lock (a file lock under the temp
// directory) per `name`.
class MachineLock {
 public:
  explicit MachineLock(const std::string& name = "product-processes");
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

 private:
  // A descriptor or a HANDLE: both fit.
  std::intptr_t lock_ = -1;
};

// Makes every running emulator ignore quit requests (the "stubborn" file).
void SetEmulatorStubborn(bool stubborn);

}  // namespace testenv
