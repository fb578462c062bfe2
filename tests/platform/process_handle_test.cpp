// A raw process handle is only a number: every call must answer 6 for one
// that is not open, whatever the number and whichever thread closed it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/child/test_child.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace {

using platform_test::Finish;
using platform_test::StartSleeper;

class ProcessHandleTest : public testenv::ProductTest {};

platform::RawProcess FromValue(std::uint64_t value) {
  return reinterpret_cast<platform::RawProcess>(static_cast<std::uintptr_t>(value));
}

std::uint64_t ValueOf(platform::RawProcess raw) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(raw));
}

// Every call that takes a handle, with what it must say about a bad one.
void ExpectInvalidEverywhere(platform::RawProcess raw, const char* what) {
  SCOPED_TRACE(what);
  platform::ErrorCode error = 0;
  EXPECT_EQ(platform::WaitForProcess(raw, 0, &error), platform::kWaitFailed);
  EXPECT_EQ(error, platform::kErrorInvalidHandle);
  EXPECT_EQ(platform::GetExitCode(raw).error(), platform::kErrorInvalidHandle);
  EXPECT_EQ(platform::GetProcessId(raw), 0u);
  EXPECT_EQ(platform::QueryImagePath(raw).error(), platform::kErrorInvalidHandle);
  EXPECT_EQ(platform::RealTerminateProcess(raw, 1), platform::kErrorInvalidHandle);
  EXPECT_EQ(platform::CloseProcess(raw), platform::kErrorInvalidHandle);
}

TEST_F(ProcessHandleTest, ClosedAndForgedHandlesAreInvalidAndTouchNoProcess) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  const platform::Pid pid = platform::GetProcessId(child.get());

  // Closed through the raw value, then once more by the owner: harmless.
  platform::ProcessHandle closed = std::move(platform::OpenProcess(pid, platform::kProcessAllAccess)).value();
  const platform::RawProcess stale = closed.get();
  EXPECT_EQ(platform::CloseProcess(stale), platform::kErrorSuccess);
  closed.reset();
  ExpectInvalidEverywhere(stale, "closed");

  // A fresh handle may take the closed one's place; the stale value still
  // names nothing, and the fresh handle is untouched by calls on it.
  platform::ProcessHandle fresh = std::move(platform::OpenProcess(pid, platform::kProcessAllAccess)).value();
  ExpectInvalidEverywhere(stale, "closed, slot reused");
  EXPECT_EQ(platform::GetProcessId(fresh.get()), pid);

  const std::uint64_t live = ValueOf(child.get());
  int local = 0;
  const struct {
    std::uint64_t value;
    const char* what;
  } forged[] = {
      {0, "null"},
      {1, "slot without generation"},
      {live + (1ull << 32), "live slot, next generation"},
      {live - (1ull << 32), "live slot, previous generation"},
      {(live & 0xFFFFFFFF00000000ull) | 0xFFFFFFF0u, "slot far beyond the table"},
      {0x8000000000000001ull, "generation out of range"},
      {0xFFFFFFFF00000001ull, "all-ones generation"},
      {ValueOf(&local), "address of a variable"},
  };
  for (const auto& f : forged) ExpectInvalidEverywhere(FromValue(f.value), f.what);

  // None of that reached the process.
  EXPECT_EQ(platform::WaitForProcess(child.get(), 0), platform::kWaitTimeout);
  fresh.reset();
  Finish(child);
}

// Reusing table slots never brings an old value back to life.
TEST_F(ProcessHandleTest, ReopeningNeverReusesAValue) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  const platform::Pid pid = platform::GetProcessId(child.get());
  std::vector<platform::RawProcess> closed;
  for (int i = 0; i < 500; ++i) {
    auto opened = platform::OpenProcess(pid, platform::kProcessQueryLimitedInformation);
    ASSERT_TRUE(opened) << opened.error();
    const platform::RawProcess raw = opened->get();
    EXPECT_EQ(std::count(closed.begin(), closed.end(), raw), 0) << "value came back at " << i;
    EXPECT_EQ(platform::GetProcessId(raw), pid);
    opened->reset();
    closed.push_back(raw);
  }
  for (platform::RawProcess raw : closed) EXPECT_EQ(platform::GetProcessId(raw), 0u);
  EXPECT_EQ(platform::GetProcessId(child.get()), pid);
  Finish(child);
}

// Calls racing a close from another thread either act on the still-open
// handle or get 6; the object they found stays alive until they return.
TEST_F(ProcessHandleTest, UseWhileAnotherThreadClosesIsSafe) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  const platform::Pid pid = platform::GetProcessId(child.get());

  for (int round = 0; round < 50; ++round) {
    auto opened = platform::OpenProcess(pid, platform::kProcessAllAccess);
    ASSERT_TRUE(opened) << opened.error();
    const platform::RawProcess raw = opened->release();
    std::atomic<bool> start{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
      users.emplace_back([&] {
        while (!start.load()) std::this_thread::yield();
        for (int i = 0; i < 200; ++i) {
          const auto code = platform::GetExitCode(raw);
          if (code.error() == platform::kErrorInvalidHandle) break;
          if (!code || *code != platform::kStillActive) ++bad;
          platform::ErrorCode error = 0;
          const std::uint32_t waited = platform::WaitForProcess(raw, 0, &error);
          if (waited != platform::kWaitTimeout &&
              !(waited == platform::kWaitFailed && error == platform::kErrorInvalidHandle)) {
            ++bad;
          }
        }
      });
    }
    start = true;
    EXPECT_EQ(platform::CloseProcess(raw), platform::kErrorSuccess);
    for (auto& user : users) user.join();
    EXPECT_EQ(bad.load(), 0) << "round " << round;
    ExpectInvalidEverywhere(raw, "closed while in use");
  }

  // A wait already under way when its handle is closed still ends with the
  // process (or, if it had not found the handle yet, fails with 6).
  auto opened = platform::OpenProcess(pid, platform::kSynchronize);
  ASSERT_TRUE(opened);
  const platform::RawProcess raw = opened->release();
  platform::ErrorCode wait_error = 0;
  std::uint32_t waited = 0;
  std::thread waiter([&] { waited = platform::WaitForProcess(raw, platform::kInfinite, &wait_error); });
  EXPECT_EQ(platform::CloseProcess(raw), platform::kErrorSuccess);
  Finish(child);
  waiter.join();
  EXPECT_TRUE(waited == platform::kWaitObject0 ||
              (waited == platform::kWaitFailed && wait_error == platform::kErrorInvalidHandle))
      << waited << " " << wait_error;
}

TEST_F(ProcessHandleTest, CurrentProcessPseudoHandleIsNeverClosed) {
  EXPECT_EQ(platform::CloseProcess(platform::CurrentProcess()), platform::kErrorSuccess);
  EXPECT_EQ(platform::CloseProcess(platform::CurrentProcess()), platform::kErrorSuccess);
  EXPECT_EQ(platform::GetProcessId(platform::CurrentProcess()), platform::CurrentProcessId());
}

}  // namespace
