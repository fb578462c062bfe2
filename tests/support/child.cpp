#include "support/child.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/launch.h"
#include "platform/text.h"
#include "support/test_env.h"

namespace testenv {

namespace {

constexpr char kBehaviourVariable[] = "QUARRION_TEST_CHILD_BEHAVIOUR";

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env = CurrentEnvironment();
  for (const std::string& change : changes) {
    const std::string name = NameOf(change);
    std::erase_if(env, [&](const std::string& e) { return NameOf(e) == name; });
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  return env;
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    Kill();
    handle_ = std::move(other.handle_);
    pid_ = other.pid_;
  }
  return *this;
}

std::optional<std::uint32_t> Child::Wait(std::uint32_t timeout_ms) {
  if (!handle_) return std::nullopt;
  if (platform::WaitForProcess(handle_.get(), timeout_ms) == platform::kWaitTimeout) {
    return std::nullopt;
  }
  return platform::GetExitCode(handle_.get()).value_or(platform::kStillActive);
}

void Child::Kill() {
  if (!handle_) return;
  if (platform::WaitForProcess(handle_.get(), 0) == platform::kWaitTimeout) {
    platform::RealTerminateProcess(handle_.get(), 1);
    platform::WaitForProcess(handle_.get(), 10000);
  }
  handle_.reset();
}

Child StartChild(const std::filesystem::path& program, const ChildOptions& options) {
  std::vector<std::wstring> arguments;
  for (const std::string& argument : options.arguments) {
    arguments.push_back(platform::text::FromUtf8(argument));
  }
  platform::LaunchRequest request;
  request.file = program;
  // Written by the one quoting, read back by the launch's split: the child's
  // argv is exactly `arguments`.
  request.parameters = platform::JoinCommandLine(arguments);
  request.directory = options.directory;
  request.environment = options.environment;
  request.want_handle = true;
  platform::ProcessHandle handle;
  if (platform::Launch(request, &handle) != platform::kErrorSuccess || !handle) return {};
  const platform::Pid pid = platform::GetProcessId(handle.get());
  return Child(std::move(handle), pid);
}

std::uint32_t RunBuiltHelper(const ChildOptions& options, std::uint32_t timeout_ms) {
  Child helper = StartChild(BinDir() / "QuarrionUpdate.exe", options);
  if (!helper.valid()) {
    ADD_FAILURE() << "the helper did not start";
    return 1;
  }
  const std::optional<std::uint32_t> code = helper.Wait(timeout_ms);
  if (!code) {
    ADD_FAILURE() << "the helper did not end in " << timeout_ms << " ms";
    return 1;
  }
  return *code;
}

Child StartBehaviour(const std::string& name, ChildOptions options) {
  return StartBehaviourAs(platform::CurrentExecutablePath(), name, std::move(options));
}

Child StartBehaviourAs(const std::filesystem::path& program, const std::string& name,
                       ChildOptions options) {
  options.arguments.insert(options.arguments.begin(), "--gtest_filter=ChildBehaviour." + name);
  std::vector<std::string> env =
      options.environment ? *options.environment : EnvironmentWith({});
  std::erase_if(env, [](const std::string& e) { return NameOf(e) == kBehaviourVariable; });
  env.push_back(std::string(kBehaviourVariable) + "=" + name);
  options.environment = std::move(env);
  return StartChild(program, options);
}

bool InChildBehaviour() { return std::getenv(kBehaviourVariable) != nullptr; }

}  // namespace testenv
