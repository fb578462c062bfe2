#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/launch.h"
#include "platform/text.h"
#include "support/test_env.h"

extern char** environ;

namespace testenv {

namespace {

constexpr char kBehaviourVariable[] = "QUARRION_TEST_CHILD_BEHAVIOUR";

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
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
  options.arguments.insert(options.arguments.begin(), "--gtest_filter=ChildBehaviour." + name);
  std::vector<std::string> env =
      options.environment ? *options.environment : EnvironmentWith({});
  std::erase_if(env, [](const std::string& e) { return NameOf(e) == kBehaviourVariable; });
  env.push_back(std::string(kBehaviourVariable) + "=" + name);
  options.environment = std::move(env);
  return StartChild(platform::CurrentExecutablePath(), options);
}

bool InChildBehaviour() { return std::getenv(kBehaviourVariable) != nullptr; }

Handshake::Handshake() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    read_fd_ = fds[0];
    write_fd_ = fds[1];
  }
}

Handshake::~Handshake() {
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

void Handshake::Signal() {
  const char byte = 's';
  while (::write(write_fd_, &byte, 1) < 0 && errno == EINTR) {
  }
}

bool Handshake::WaitFor(int count, std::uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{read_fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[64];
    const ssize_t n = ::read(read_fd_, buffer, std::min<std::size_t>(sizeof buffer, count));
    if (n > 0) count -= static_cast<int>(n);
  }
  return true;
}

namespace {

// The state letter of a /proc stat file ('S' asleep); 0 when it is gone.
char StateOf(const std::string& stat_file) {
  std::string stat;
  if (FILE* file = std::fopen(stat_file.c_str(), "r")) {
    char buffer[512];
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    stat.assign(buffer, n);
  }
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return 0;
  return stat[paren + 2];
}

}  // namespace

bool WaitUntilProcessAsleep(int pid, std::uint32_t timeout_ms) {
  const std::string stat_file = "/proc/" + std::to_string(pid) + "/stat";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    const char state = StateOf(stat_file);
    if (state == 'S') return true;
    if (state == 0 || state == 'Z') return false;
    std::this_thread::yield();
  }
  return false;
}

int CurrentThreadId() { return static_cast<int>(::gettid()); }

std::thread WhenThreadBlocks(int thread_id, std::function<void()> action) {
  return std::thread([thread_id, action = std::move(action)] {
    const std::string stat_file = "/proc/self/task/" + std::to_string(thread_id) + "/stat";
    // Gone, or asleep: either way nothing more is to be waited for.
    for (char state = StateOf(stat_file); state != 0 && state != 'S';
         state = StateOf(stat_file)) {
      std::this_thread::yield();
    }
    action();
  });
}

}  // namespace testenv
