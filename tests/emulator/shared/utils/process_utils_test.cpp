#include "emulator/shared/utils/process_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "base/multi_inst.h"
#include "platform/process.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

// The stand-ins exit at once with this code unless told otherwise.
struct ExitAtOnce {
  explicit ExitAtOnce(int code) { ::setenv("QUARRION_STANDIN_EXIT", std::to_string(code).c_str(), 1); }
  ~ExitAtOnce() { ::unsetenv("QUARRION_STANDIN_EXIT"); }
};

class ProcessUtilsTest : public testenv::ProductTest {
 protected:
  std::filesystem::path Program(const std::string& name = testenv::kClientExe) {
    return testenv::InstallStandin(home() / "install" / "1.0.0.1", name);
  }
  // The one recorded start of `name`.
  testenv::StandinCommand OnlyCommand() {
    const auto commands = testenv::ReadStandinCommands();
    EXPECT_EQ(commands.size(), 1u);
    return commands.empty() ? testenv::StandinCommand{} : commands.front();
  }
};

TEST_F(ProcessUtilsTest, MissingProgramsGiveFileNotFound) {
  DWORD code = 77;
  EXPECT_EQ(ShellExecuteOpen({}, L"x", &code, true, {}, 1), 2u);
  EXPECT_EQ(ShellExecuteOpenExitCode({}, L"x", true, {}, 1), 2u);
  EXPECT_EQ(ExecuteShellWithCurrentPrivileges({}, L"", {}), 2u);
  EXPECT_EQ(CreateRestrictedProcess({}, L"", &code), 2u);
  const auto missing = home() / "nowhere" / "Quarrion.exe";
  EXPECT_EQ(ShellExecuteOpen(missing, L"", &code, true, {}, 1), 2u);
  EXPECT_EQ(ExecuteShellWithCurrentPrivileges(missing, L"", {}), 2u);
  EXPECT_EQ(CreateRestrictedProcess(missing, L"", &code), 2u);
  EXPECT_EQ(code, 77u);
}

TEST_F(ProcessUtilsTest, WaitedExitCodesComeBack) {
  const auto program = Program();
  DWORD code = 0;
  EXPECT_EQ(ShellExecuteOpen(program, L"--standin-exit=7", &code, true, {}, 1), 0u);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(ShellExecuteOpenExitCode(program, L"--standin-exit=9", true, {}, 1), 9u);
  EXPECT_EQ(ExecuteShellWithCurrentPrivileges(program, L"--standin-exit=3", {}), 3u);
  code = 0;
  EXPECT_EQ(CreateRestrictedProcess(program, L"--standin-exit=4", &code), 0u);
  EXPECT_EQ(code, 4u);
}

TEST_F(ProcessUtilsTest, WithoutWaitTheExitCodeIsUntouched) {
  ExitAtOnce exit_at_once(5);
  DWORD code = 12345;
  EXPECT_EQ(ShellExecuteOpen(Program(), L"a", &code, false, {}, 1), 0u);
  EXPECT_EQ(code, 12345u);
  EXPECT_EQ(ShellExecuteOpenExitCode(Program(), L"a", false, {}, 1), 0u);
}

TEST_F(ProcessUtilsTest, ParametersReachTheProgramByteForByte) {
  ExitAtOnce exit_at_once(0);
  const auto program = Program();
  const auto directory = home() / "work dir";
  std::filesystem::create_directories(directory);
  const std::wstring parameters =
      L"plain \"with blank\" quote\\\"inside back\\slash \"trail\\\\\" \"\" \u00fcml\u00e4ut";

  DWORD code = 1;
  ASSERT_EQ(ShellExecuteOpen(program, parameters, &code, true, directory, 1), 0u);
  EXPECT_EQ(code, 0u);

  const auto command = OnlyCommand();
  EXPECT_EQ(command.name, "Quarrion.exe");
  EXPECT_EQ(command.cwd, directory.string());
  const std::vector<std::string> expected{program.string(), "plain",  "with blank",
                                          "quote\"inside",  "back\\slash", "trail\\",
                                          "",               "\xc3\xbcml\xc3\xa4ut"};
  EXPECT_EQ(command.argv, expected);
}

TEST_F(ProcessUtilsTest, RestrictedStartKeepsAProgramPathWithBlanksWhole) {
  ExitAtOnce exit_at_once(0);
  const auto program =
      testenv::InstallStandin(home() / "Program Files" / "Quarrion", testenv::kAssistantExe);
  DWORD code = 1;
  ASSERT_EQ(CreateRestrictedProcess(program, L"--probe \"a b\"", &code), 0u);
  EXPECT_EQ(code, 0u);
  const auto command = OnlyCommand();
  EXPECT_EQ(command.argv, (std::vector<std::string>{program.string(), "--probe", "a b"}));
}

TEST_F(ProcessUtilsTest, BoundedWaitsLeaveALongRunningChildAt259) {
  const auto program = Program(testenv::kAssistantExe);
  // Both 5 s waits at once.
  auto restricted = std::async(std::launch::async, [&] {
    DWORD code = 0;
    const DWORD result = CreateRestrictedProcess(program, L"--restricted", &code);
    return std::make_pair(result, code);
  });
  const DWORD shell_code = ExecuteShellWithCurrentPrivileges(program, L"--shell", {});
  const auto [restricted_result, restricted_code] = restricted.get();

  EXPECT_EQ(shell_code, 259u);
  EXPECT_EQ(restricted_result, 0u);
  EXPECT_EQ(restricted_code, 259u);
  // Both are left running; end them here.
  const auto commands = testenv::ReadStandinCommands();
  EXPECT_EQ(commands.size(), 2u);
  for (const auto& command : commands) {
    auto process = platform::OpenProcess(static_cast<platform::Pid>(command.pid),
                                         platform::kProcessAllAccess);
    ASSERT_TRUE(process) << process.error();
    EXPECT_EQ(platform::WaitForProcess(process->get(), 0), platform::kWaitTimeout);
    platform::RealTerminateProcess(process->get(), 1);
    platform::WaitForProcess(process->get(), 5000);
  }
}

TEST_F(ProcessUtilsTest, ModuleDirectoryIsTheExecutablesDirectory) {
  const auto directory = GetModuleDirectory();
  EXPECT_FALSE(directory.empty());
  EXPECT_TRUE(std::filesystem::equivalent(directory, testenv::BinDir()));
}

// Run by RunOnceMarkTest in a second process of this program: tests the mark
// named by the environment and exits 10 (already set) or 11 (set now).
TEST(RunOnceMarkChild, TestAndSet) {
  const char* name = std::getenv("QUARRION_TEST_RUN_ONCE_MARK");
  if (name == nullptr) GTEST_SKIP() << "only run as the child of RunOnceMarkTest";
  MultiInst::Instance()->Init(L"Quarrion", 0);
  const bool was_set = RunOnceMark(std::wstring(name, name + std::strlen(name))).TestAndSet();
  std::_Exit(was_set ? 10 : 11);
}

class RunOnceMarkTest : public testenv::ProductTest {
 protected:
  // TestAndSet of `name` in another process.
  std::uint32_t TestAndSetInChild(const char* name) {
    ::setenv("QUARRION_TEST_RUN_ONCE_MARK", name, 1);
    DWORD code = 0;
    const DWORD error = ShellExecuteOpen(platform::CurrentExecutablePath(),
                                         L"--gtest_filter=RunOnceMarkChild.TestAndSet", &code,
                                         true, {}, 1);
    ::unsetenv("QUARRION_TEST_RUN_ONCE_MARK");
    EXPECT_EQ(error, 0u);
    return code;
  }
};

TEST_F(RunOnceMarkTest, FalseOnceThenTrueAcrossProcesses) {
  RunOnceMark mark(L"ReplenishAppSource");
  EXPECT_FALSE(mark.TestAndSet());
  EXPECT_TRUE(mark.TestAndSet());
  EXPECT_TRUE(RunOnceMark(L"ReplenishAppSource").TestAndSet());
  EXPECT_EQ(TestAndSetInChild("ReplenishAppSource"), 10u);

  // Set by another process first.
  EXPECT_EQ(TestAndSetInChild("OtherMark"), 11u);
  EXPECT_TRUE(RunOnceMark(L"OtherMark").TestAndSet());
}

}  // namespace
