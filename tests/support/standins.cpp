#include "support/standins.h"

#include "platform/launch.h"
#include "platform/text.h"
#include "support/child.h"

#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/test_env.h"

namespace testenv {
namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
  }
  return out;
}

std::vector<nlohmann::json> ReadJsonLines(const std::filesystem::path& file) {
  std::vector<nlohmann::json> out;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) out.push_back(std::move(parsed));
  }
  return out;
}

}  // namespace

std::filesystem::path StandinProgram(const std::string& name) {
  return BinDir() / "standins" / name;
}

std::filesystem::path InstallStandin(const std::filesystem::path& directory,
                                     const std::string& name) {
  std::filesystem::create_directories(directory);
  const std::filesystem::path target = directory / name;
  // A copy that is already there may be running: a running program cannot be
  // overwritten, and replacing it would change its image path.
  std::error_code ec;
  if (std::filesystem::is_regular_file(target, ec) &&
      std::filesystem::file_size(target, ec) == std::filesystem::file_size(StandinProgram())) {
    return target;
  }
  std::filesystem::remove(target, ec);
  std::filesystem::copy_file(StandinProgram(), target);
  std::filesystem::permissions(target, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_read |
                                           std::filesystem::perms::others_exec);
  return target;
}

bool StandinProcess::WaitForExit(std::uint32_t timeout_ms) {
  if (!handle_) return true;
  return platform::WaitForProcess(handle_.get(), timeout_ms) != platform::kWaitTimeout;
}

std::uint32_t StandinProcess::ExitCode() {
  return handle_ ? platform::GetExitCode(handle_.get()).value_or(platform::kStillActive)
                 : platform::kStillActive;
}

void StandinProcess::Stop() {
  if (!handle_) return;
  if (!WaitForExit(0)) {
    platform::RealTerminateProcess(handle_.get(), 1);
    WaitForExit(10000);
  }
  handle_.reset();
}

StandinProcess StartStandin(const std::filesystem::path& program, const std::wstring& parameters,
                            const std::filesystem::path& directory) {
  ChildOptions options;
  for (const std::wstring& argument : platform::SplitCommandLine(parameters)) {
    options.arguments.push_back(platform::text::ToUtf8(argument));
  }
  options.directory = directory;
  return StartStandin(program, options);
}

StandinProcess StartStandin(const std::filesystem::path& program, const ChildOptions& options) {
  Child child = StartChild(program, options);
  if (!child.valid()) return {};
  const platform::Pid pid = child.pid();
  StandinProcess process(child.Release(), pid, program);
  if (!WaitForStandinRecord(pid, std::chrono::seconds(10))) return {};
  return process;
}

std::filesystem::path StandinDirectory() {
  const char* home = std::getenv("QUARRION_HOME");
  return std::filesystem::path(home ? home : "") / "standin";
}

std::vector<StandinCommand> ReadStandinCommands() {
  std::vector<StandinCommand> out;
  for (const auto& line : ReadJsonLines(StandinDirectory() / "commands.jsonl")) {
    StandinCommand command;
    command.name = line.value("name", std::string());
    command.pid = line.value("pid", 0LL);
    command.cwd = line.value("cwd", std::string());
    if (auto it = line.find("argv_hex"); it != line.end() && it->is_array()) {
      for (const auto& arg : *it) command.argv.push_back(FromHex(arg.get<std::string>()));
    }
    out.push_back(std::move(command));
  }
  return out;
}

std::vector<nlohmann::json> ReadStandinEvents() {
  return ReadJsonLines(StandinDirectory() / "events.jsonl");
}

bool WaitForStandinRecord(long long pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (const auto& command : ReadStandinCommands()) {
      if (command.pid == pid) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void SetEmulatorStubborn(bool stubborn) {
  const auto marker = StandinDirectory() / "stubborn";
  if (stubborn) {
    std::filesystem::create_directories(StandinDirectory());
    std::ofstream(marker).put('1');
  } else {
    std::error_code ec;
    std::filesystem::remove(marker, ec);
  }
}

}  // namespace testenv
