// The system TerminateProcess called by name, as a library would, reaches
// the installed terminate function once the import tables are routed.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "platform/child/test_child.h"
#include "platform/process.h"

namespace {

std::atomic<platform::Pid> g_seen_pid{0};
std::atomic<int> g_calls{0};

// Records the target and ends it with its code plus one, so the exit code
// tells that this function, not the system call alone, did it.
platform::ErrorCode Recording(platform::RawProcess process, std::uint32_t exit_code) {
  ++g_calls;
  g_seen_pid = platform::GetProcessId(process);
  return platform::RealTerminateProcess(process, exit_code + 1);
}

class TerminateImportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    g_seen_pid = 0;
    ASSERT_EQ(platform::RouteImportedTerminateCalls(), 0u);
    ASSERT_EQ(platform::RouteImportedTerminateCalls(), 0u);  // twice is harmless
    previous_ = platform::ExchangeTerminateFunction(&Recording);
  }
  void TearDown() override { platform::ExchangeTerminateFunction(previous_); }
  platform::TerminateFunction previous_ = nullptr;
};

TEST_F(TerminateImportsTest, ACallByNameGoesThroughTheInstalledFunction) {
  platform::ProcessHandle child = platform_test::StartSleeper();
  ASSERT_TRUE(child.valid());
  const platform::Pid pid = platform::GetProcessId(child.get());
  HANDLE own = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                             FALSE, pid);
  ASSERT_NE(own, nullptr);

  EXPECT_TRUE(::TerminateProcess(own, 40));
  EXPECT_EQ(::WaitForSingleObject(own, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(own, &code));
  EXPECT_EQ(code, 41u);
  EXPECT_EQ(g_calls.load(), 1);
  EXPECT_EQ(g_seen_pid.load(), pid);
  // The caller's handle is still its own to use and close.
  EXPECT_TRUE(::CloseHandle(own));
  platform_test::Finish(child);
}

TEST_F(TerminateImportsTest, FailuresAnswerAsTheSystemCallDoes) {
  platform::ProcessHandle child = platform_test::StartSleeper();
  ASSERT_TRUE(child.valid());
  const platform::Pid pid = platform::GetProcessId(child.get());
  // Without the terminate right: the system refuses, and says so.
  HANDLE query_only = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  ASSERT_NE(query_only, nullptr);
  ::SetLastError(0);
  EXPECT_FALSE(::TerminateProcess(query_only, 1));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ::CloseHandle(query_only);

  // A value that is no handle at all never reaches the installed function.
  const int calls = g_calls.load();
  ::SetLastError(0);
  EXPECT_FALSE(::TerminateProcess(reinterpret_cast<HANDLE>(0x7ff0), 1));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(g_calls.load(), calls);
  platform_test::Finish(child);
}

}  // namespace
