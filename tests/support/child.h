// The one way tests start a child process: a program (or this test program
// running one of its behaviours) with exact arguments and, when given, an
// exact environment, started through platform::Launch. Tests never change
// their own environment for a child's sake.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace testenv {

// This process's environment, "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();
// This process's environment ("NAME=value" entries) with `changes` applied:
// "NAME=value" sets or replaces, a bare "NAME" removes.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes);

struct ChildOptions {
  // argv[1...] exactly as the child receives them.
  std::vector<std::string> arguments;
  // The child's whole environment; unset: this process's.
  std::optional<std::vector<std::string>> environment;
  std::filesystem::path directory;  // empty: this process's
};

// A started child. Destroying it kills whatever still runs and reaps it.
class Child {
 public:
  Child() = default;
  Child(platform::ProcessHandle handle, platform::Pid pid)
      : handle_(std::move(handle)), pid_(pid) {}
  ~Child() { Kill(); }
  Child(Child&&) = default;
  Child& operator=(Child&& other) noexcept;

  bool valid() const { return handle_.valid(); }
  platform::Pid pid() const { return pid_; }
  platform::RawProcess get() const { return handle_.get(); }
  // The exit code once it has ended within `timeout_ms`; unset while it runs.
  std::optional<std::uint32_t> Wait(std::uint32_t timeout_ms);
  // Kills it (bypassing any termination hook) and waits for the end.
  void Kill();
  // Hands the handle over; the Child then owns nothing.
  platform::ProcessHandle Release() { return std::move(handle_); }

 private:
  platform::ProcessHandle handle_;
  platform::Pid pid_ = 0;
};

// Starts `program`. Invalid when the start failed.
Child StartChild(const std::filesystem::path& program, const ChildOptions& options = {});

// Runs the built helper (QuarrionUpdate.exe) to its end; its exit code. A
// helper that does not start, or is still running after `timeout_ms` (then
// killed), is a test failure and counts as exit code 1.
std::uint32_t RunBuiltHelper(const ChildOptions& options = {}, std::uint32_t timeout_ms = 120000);

// Starts this test program again to run one behaviour: the test
// `ChildBehaviour.<name>`, which begins with `if (!InChildBehaviour()) GTEST_SKIP();`
// and ends the process with its answer as exit code. `options.arguments`
// follow gtest's own.
Child StartBehaviour(const std::string& name, ChildOptions options = {});
// The same from `program`, a copy (or another name) of this test program, for
// a behaviour that must run under an image name of its own.
Child StartBehaviourAs(const std::filesystem::path& program, const std::string& name,
                       ChildOptions options = {});
// True in a process started by StartBehaviour.
bool InChildBehaviour();

// A one-way handshake between processes or threads: Signal() once per party,
// WaitFor(n) returns when n signals have come (false after `timeout_ms`).
// Shared with threads (and, on POSIX, with children made by fork).
class Handshake {
 public:
  Handshake();
  ~Handshake();
  Handshake(const Handshake&) = delete;
  Handshake& operator=(const Handshake&) = delete;

  void Signal();
  bool WaitFor(int count, std::uint32_t timeout_ms = 30000);

 private:
  // Descriptors or HANDLEs: both fit.
  std::intptr_t read_fd_ = -1;
  std::intptr_t write_fd_ = -1;
};

// Waits until process `pid` is asleep in the kernel (a busy wait, a lock)
// as the kernel reports it; false when it is gone or after `timeout_ms`.
// Wine reports no thread states: there this and WhenThreadBlocks cannot
// tell (the one answers false after its time-out, the other never acts).
bool WaitUntilProcessAsleep(int pid, std::uint32_t timeout_ms = 30000);

// The id of the calling thread, for WhenThreadBlocks.
int CurrentThreadId();
// Runs `action` on a new thread as soon as the thread `thread_id` of this
// process is asleep in the kernel (blocked: joining, waiting), as the kernel
// reports it. For tests of a call that must wait for something that only
// another thread can give it.
std::thread WhenThreadBlocks(int thread_id, std::function<void()> action);

}  // namespace testenv
