#include "emulator/shared/utils/process_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>

#include "base/multi_inst.h"
#include "platform/process.h"
#include "common/utils/deadlines.h"
#include "platform/session.h"
#include "support/child.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

// The stand-in named `name` exits at once with `code` unless told otherwise
// (its "<name>.exit" file in this home).
struct ExitAtOnce {
  explicit ExitAtOnce(int code, const std::string& name = testenv::kClientExe)
      : file(testenv::StandinDirectory() / (name + ".exit")) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << code;
  }
  ~ExitAtOnce() {
    std::error_code ec;
    std::filesystem::remove(file, ec);
  }
  std::filesystem::path file;
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
  // Told on its command line: these starts are not waited for, so a file
  // the test removes at its end may be gone before they look.
  DWORD code = 12345;
  EXPECT_EQ(ShellExecuteOpen(Program(), L"--standin-exit=5", &code, false, {}, 1), 0u);
  EXPECT_EQ(code, 12345u);
  EXPECT_EQ(ShellExecuteOpenExitCode(Program(), L"--standin-exit=5", false, {}, 1), 0u);
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
  ExitAtOnce exit_at_once(0, testenv::kAssistantExe);
  const auto program =
      testenv::InstallStandin(home() / "Program Files" / "Quarrion", testenv::kAssistantExe);
  DWORD code = 1;
  ASSERT_EQ(CreateRestrictedProcess(program, L"--probe \"a b\"", &code), 0u);
  EXPECT_EQ(code, 0u);
  const auto command = OnlyCommand();
  EXPECT_EQ(command.argv, (std::vector<std::string>{program.string(), "--probe", "a b"}));
}

// A program path holding quotes, backslashes and blanks is the program
// started, and no part of it becomes an argument.
TEST_F(ProcessUtilsTest, EveryStartKeepsAProgramPathWithQuotesWhole) {
  ExitAtOnce exit_at_once(0, testenv::kAssistantExe);
  const auto directory = home() / "a \"quoted\" dir\\" / "x\" y";
  const auto program = testenv::InstallStandin(directory, testenv::kAssistantExe);
  const std::vector<std::string> expected{program.string(), "--probe", "a b"};

  DWORD code = 1;
  ASSERT_EQ(CreateRestrictedProcess(program, L"--probe \"a b\"", &code), 0u);
  EXPECT_EQ(code, 0u);
  ASSERT_EQ(ShellExecuteOpen(program, L"--probe \"a b\"", &code, true, {}, 1), 0u);
  EXPECT_EQ(ExecuteShellWithCurrentPrivileges(program, L"--probe \"a b\"", {}), 0u);
  const auto commands = testenv::ReadStandinCommands();
  ASSERT_EQ(commands.size(), 3u);
  for (const auto& command : commands) EXPECT_EQ(command.argv, expected);
}

// Shortened waits: the same outcome as after the real 5 s.
TEST_F(ProcessUtilsTest, BoundedWaitsLeaveALongRunningChildAt259) {
  Deadlines shortened;
  shortened.bounded_wait_ms = 300;
  ScopedDeadlines scope(shortened);
  const auto program = Program(testenv::kAssistantExe);
  // Both bounded waits at once.
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

// Run by StartedProgramsGetTheStartEnvironment: records its environment,
// changes it for itself, then starts a program of its own and answers with
// that program's exit code.
TEST(ChildBehaviour, StartWithChangedEnvironment) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by StartedProgramsGetTheStartEnvironment";
  platform::CaptureStartEnvironment();
  if (!platform::WriteEnvironmentVariable("QUARRION_TEST_ADDED", "1")) std::_Exit(3);
  if (!platform::RemoveEnvironmentVariable("QUARRION_TEST_GIVEN")) std::_Exit(4);
  DWORD code = 0;
  if (ShellExecuteOpen(platform::CurrentExecutablePath(),
                       L"--gtest_filter=ChildBehaviour.ReportEnvironment", &code, true, {}, 1) != 0) {
    std::_Exit(5);
  }
  std::_Exit(static_cast<int>(code));
}

// 20 when the environment is the one its parent was started with.
TEST(ChildBehaviour, ReportEnvironment) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by StartWithChangedEnvironment";
  const bool given = platform::ReadEnvironmentVariable("QUARRION_TEST_GIVEN") == "yes";
  const bool added = platform::ReadEnvironmentVariable("QUARRION_TEST_ADDED").has_value();
  std::_Exit(given && !added ? 20 : 21);
}

TEST(StartEnvironment, StartedProgramsGetTheStartEnvironment) {
  testenv::ChildOptions options;
  options.environment = testenv::EnvironmentWith({"QUARRION_TEST_GIVEN=yes", "QUARRION_TEST_ADDED"});
  testenv::Child child = testenv::StartBehaviour("StartWithChangedEnvironment", options);
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(20u));
}

}  // namespace
