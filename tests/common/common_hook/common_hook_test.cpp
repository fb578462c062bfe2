#include "common/common_hook/common_hook.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "qtbaseex/log/categories.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

struct Call {
  platform::RawProcess process;
  std::uint32_t exit_code;
};
std::mutex g_calls_mutex;
std::vector<Call> g_calls;

// Stands in for the real function under the hook: records, and terminates
// for real except the current process.
platform::ErrorCode RecordingTerminate(platform::RawProcess process, std::uint32_t exit_code) {
  {
    std::lock_guard lock(g_calls_mutex);
    g_calls.push_back({process, exit_code});
  }
  if (process == platform::CurrentProcess()) return 0;
  return platform::RealTerminateProcess(process, exit_code);
}

class TerminateHookTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    g_calls.clear();
    platform::ExchangeTerminateFunction(&RecordingTerminate);
    common_hook::InstallTerminateProcessHook();
  }
  void TearDown() override { platform::ExchangeTerminateFunction(nullptr); }

  std::vector<Call> Calls() {
    std::lock_guard lock(g_calls_mutex);
    return g_calls;
  }
  std::vector<testenv::LogCapture::Line> KillLines() const {
    return log_.Find("kill-process ", lc_app_launch().categoryName());
  }
  testenv::StandinProcess Start(const std::filesystem::path& directory, const std::string& name) {
    auto process = testenv::StartStandin(testenv::InstallStandin(directory, name));
    EXPECT_TRUE(process.valid());
    return process;
  }

  testenv::LogCapture log_;
};

TEST_F(TerminateHookTest, HeadlessVmGetsItsFixedExitCode) {
  auto vm = Start(home() / "vm", "VXKBoxHeadless.exe");

  EXPECT_EQ(platform::TerminateProcess(vm.get(), 1), 0u);

  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].exit_code, common_hook::kHeadlessVmExitCode);
  ASSERT_TRUE(vm.WaitForExit(5000));
  EXPECT_EQ(vm.ExitCode(), 860116224u);
  const auto lines = KillLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].type, QtInfoMsg);
  EXPECT_EQ(lines[0].message, "kill-process  \"" + vm.path().string() + "\"  pid: " +
                                  std::to_string(vm.pid()));
}

TEST_F(TerminateHookTest, OtherNamesKeepTheirExitCode) {
  auto lower = Start(home() / "vm", "vxkboxheadless.exe");

  EXPECT_EQ(platform::TerminateProcess(lower.get(), 1), 0u);

  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].exit_code, 1u);
  ASSERT_TRUE(lower.WaitForExit(5000));
  EXPECT_EQ(lower.ExitCode(), 1u);
  EXPECT_EQ(KillLines().size(), 1u);
}

TEST_F(TerminateHookTest, UnreadableOrLongImagePathsPassThroughUnlogged) {
  auto vm = Start(home() / "vm", "VXKBoxHeadless.exe");
  // Terminate right only: the image cannot be queried.
  auto terminate_only = platform::OpenProcess(vm.pid(), platform::kProcessTerminate);
  ASSERT_TRUE(terminate_only) << terminate_only.error();
  EXPECT_EQ(platform::TerminateProcess(terminate_only->get(), 2), 0u);

  std::filesystem::path deep = home();
  while (deep.string().size() < 270) deep /= "long-directory-name";
  auto far = Start(deep, "VXKBoxHeadless.exe");
  EXPECT_EQ(platform::TerminateProcess(far.get(), 3), 0u);

  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].exit_code, 2u);
  EXPECT_EQ(calls[1].exit_code, 3u);
  EXPECT_TRUE(KillLines().empty());
  ASSERT_TRUE(vm.WaitForExit(5000));
  ASSERT_TRUE(far.WaitForExit(5000));
}

TEST_F(TerminateHookTest, CurrentProcessPassesThroughUnlogged) {
  EXPECT_EQ(platform::TerminateProcess(platform::CurrentProcess(), 4), 0u);
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].process, platform::CurrentProcess());
  EXPECT_EQ(Calls()[0].exit_code, 4u);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(TerminateHookTest, InstallingTwiceKeepsOneHook) {
  common_hook::InstallTerminateProcessHook();
  auto client = Start(home() / "install", "Quarrion.exe");

  EXPECT_EQ(platform::TerminateProcess(client.get(), 6), 0u);

  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_EQ(KillLines().size(), 1u);
  ASSERT_TRUE(client.WaitForExit(5000));
  EXPECT_EQ(client.ExitCode(), 6u);
}

TEST(LogTerminateProcessTest, WarningTexts) {
  testenv::LogCapture log;
  common_hook::LogTerminateProcess(true, false);
  common_hook::LogTerminateProcess(false, true, 87);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].type, QtWarningMsg);
  EXPECT_EQ(lines[0].category, lc_app_launch().categoryName());
  EXPECT_EQ(lines[0].message, "attach TerminateProcess failed ");
  EXPECT_EQ(lines[1].type, QtWarningMsg);
  EXPECT_EQ(lines[1].message, "Hook TerminateProcess failed: 87");
}

}  // namespace
