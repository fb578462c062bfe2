// The stand-in product programs as the tests of the product use them, on
// both systems: what a program records at its start, its exit codes, and the
// emulator's quit protocol between two real processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "support/child.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using testenv::ChildOptions;

constexpr std::uint32_t kWaitMs = 30000;

ChildOptions WithArguments(std::vector<std::string> arguments) {
  ChildOptions options;
  options.arguments = std::move(arguments);
  return options;
}

class StandinTest : public testenv::ProductTest {
 protected:
  // Runs `name` to its end; its exit code (unset: it did not end).
  std::optional<std::uint32_t> Run(const std::string& name, const ChildOptions& options) {
    testenv::Child child = testenv::StartChild(testenv::StandinProgram(name), options);
    if (!child.valid()) return std::nullopt;
    last_pid_ = child.pid();
    return child.Wait(kWaitMs);
  }
  std::optional<std::uint32_t> RunQuitCommand() {
    return Run(testenv::kEmulatorExe, WithArguments({"--quit"}));
  }

  static std::vector<std::string> EventNames() {
    std::vector<std::string> names;
    for (const auto& event : testenv::ReadStandinEvents()) names.push_back(event.value("event", ""));
    return names;
  }
  // Marks and requests of the quit protocol still in the folder.
  static std::vector<std::string> LeftoverQuitFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(testenv::StandinDirectory())) {
      const std::string name = platform::text::ToUtf8(platform::text::WideFromPath(entry.path().filename()));
      if (name.rfind("quit_", 0) == 0) names.push_back(name);
    }
    return names;
  }

  platform::Pid last_pid_ = 0;
};

struct ExitCase {
  const char* label;
  std::vector<std::string> arguments;
  std::optional<std::string> exit_file;    // QuarrionLauncher.exe.exit
  std::optional<std::string> environment;  // QUARRION_STANDIN_EXIT
  std::uint32_t code;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.label; }

class StandinExitTest : public StandinTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(StandinExitTest, ExitsWithTheFirstCodeSet) {
  const ExitCase& c = GetParam();
  if (c.exit_file) {
    fs::create_directories(testenv::StandinDirectory());
    std::ofstream(testenv::StandinDirectory() / "QuarrionLauncher.exe.exit") << *c.exit_file;
  }
  ChildOptions options = WithArguments(c.arguments);
  if (c.environment) options.environment = testenv::EnvironmentWith({"QUARRION_STANDIN_EXIT=" + *c.environment});
  EXPECT_EQ(Run(testenv::kLauncherExe, options), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, StandinExitTest,
    ::testing::Values(ExitCase{"Argument", {"--standin-exit=7"}, std::nullopt, std::nullopt, 7},
                      ExitCase{"ArgumentBeforeFileAndEnvironment", {"--standin-exit=3"}, "4", "5", 3},
                      ExitCase{"FileBeforeEnvironment", {}, "4\n", "5", 4},
                      ExitCase{"Environment", {}, std::nullopt, "6", 6},
                      ExitCase{"UnreadableArgumentFallsThrough", {"--standin-exit=x"}, "4", std::nullopt, 4}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.label); });

TEST_F(StandinTest, RecordsItsExactArgumentsAndDirectory) {
  const std::vector<std::string> arguments = {
      "plain", "with blank", "a\"quote", "\xC3\xBCnic\xC3\xB8" "de \xE2\x82\xAC", "", "dir\\ ends\\",
      "--standin-exit=0"};
  const fs::path directory = home() / platform::text::PathFromWide(L"work dir \u00fc");
  fs::create_directories(directory);
  ChildOptions options = WithArguments(arguments);
  options.directory = directory;
  ASSERT_EQ(Run(testenv::kClientExe, options), 0u);

  const std::vector<testenv::StandinCommand> commands = testenv::ReadStandinCommands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].name, testenv::kClientExe);
  EXPECT_EQ(commands[0].pid, static_cast<long long>(last_pid_));
  ASSERT_EQ(commands[0].argv.size(), arguments.size() + 1);
  EXPECT_EQ(std::vector<std::string>(commands[0].argv.begin() + 1, commands[0].argv.end()), arguments);
  EXPECT_TRUE(fs::equivalent(platform::text::PathFromWide(platform::text::FromUtf8(commands[0].cwd)),
                             directory));
  // Valid UTF-8 reads as text too, not only in the hex copy.
  const auto line = nlohmann::json::parse(testenv::ReadFile(testenv::StandinDirectory() / "commands.jsonl"));
  EXPECT_EQ(line.at("argv").at(4).get<std::string>(), arguments[3]);
}

TEST_F(StandinTest, QuitCommandEndsTheEmulator) {
  testenv::StandinProcess emulator = testenv::StartStandin(testenv::StandinProgram(testenv::kEmulatorExe));
  ASSERT_TRUE(emulator.valid());

  ASSERT_EQ(RunQuitCommand(), 0u);
  const platform::Pid quitter = last_pid_;
  ASSERT_TRUE(emulator.WaitForExit(kWaitMs));
  EXPECT_EQ(emulator.ExitCode(), 0u);

  const auto events = testenv::ReadStandinEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].value("event", ""), "quit");
  EXPECT_EQ(events[0].value("pid", 0u), emulator.pid());
  EXPECT_EQ(events[0].value("from", 0u), quitter);
  EXPECT_EQ(events[1].value("event", ""), "quit_sent");
  EXPECT_EQ(events[1].value("pid", 0u), quitter);
  EXPECT_EQ(events[1].value("target", 0u), emulator.pid());
  EXPECT_TRUE(LeftoverQuitFiles().empty());
  EXPECT_FALSE(fs::exists(testenv::StandinDirectory() / "QuarrionEmulator.pid"));
}

struct StubbornCase {
  const char* label;
  bool by_environment;  // else by the "stubborn" file, removed after the first request
  std::vector<std::string> events;
};

void PrintTo(const StubbornCase& c, std::ostream* os) { *os << c.label; }

class StandinStubbornTest : public StandinTest,
                            public ::testing::WithParamInterface<StubbornCase> {};

// Each request is answered, and stubbornness is asked anew for each.
TEST_P(StandinStubbornTest, StubbornEmulatorLogsTheRequestAndRunsOn) {
  const StubbornCase& c = GetParam();
  ChildOptions options;
  if (c.by_environment) {
    options.environment = testenv::EnvironmentWith({"QUARRION_STANDIN_STUBBORN=1"});
  } else {
    testenv::SetEmulatorStubborn(true);
  }
  testenv::StandinProcess emulator =
      testenv::StartStandin(testenv::StandinProgram(testenv::kEmulatorExe), options);
  ASSERT_TRUE(emulator.valid());

  EXPECT_EQ(RunQuitCommand(), 0u);
  EXPECT_TRUE(emulator.Running());
  testenv::SetEmulatorStubborn(false);
  EXPECT_EQ(RunQuitCommand(), 0u);
  if (c.by_environment) {
    EXPECT_TRUE(emulator.Running());
  } else {
    ASSERT_TRUE(emulator.WaitForExit(kWaitMs));
    EXPECT_EQ(emulator.ExitCode(), 0u);
  }

  EXPECT_EQ(EventNames(), c.events);
  EXPECT_TRUE(LeftoverQuitFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StandinStubbornTest,
    ::testing::Values(StubbornCase{"ByEnvironment", true,
                                   {"quit_ignored", "quit_sent", "quit_ignored", "quit_sent"}},
                      StubbornCase{"ByFile", false, {"quit_ignored", "quit_sent", "quit", "quit_sent"}}),
    [](const ::testing::TestParamInfo<StubbornCase>& info) { return std::string(info.param.label); });

enum class PidFile { kNone, kGarbage, kEndedEmulator, kRunningClient };

struct NoEmulatorCase {
  const char* label;
  PidFile pid_file;
};

void PrintTo(const NoEmulatorCase& c, std::ostream* os) { *os << c.label; }

class StandinNoEmulatorTest : public StandinTest,
                              public ::testing::WithParamInterface<NoEmulatorCase> {};

// A pid file left behind names nobody, or a program that merely got the
// pid since: that program must not be asked to quit.
TEST_P(StandinNoEmulatorTest, QuitWithoutAnEmulatorExitsOne) {
  const fs::path pid_file = testenv::StandinDirectory() / "QuarrionEmulator.pid";
  testenv::StandinProcess client;
  switch (GetParam().pid_file) {
    case PidFile::kNone:
      break;
    case PidFile::kGarbage:
      fs::create_directories(testenv::StandinDirectory());
      std::ofstream(pid_file) << "not a pid";
      break;
    case PidFile::kEndedEmulator:
      ASSERT_EQ(Run(testenv::kEmulatorExe, WithArguments({"--standin-exit=0"})), 0u);
      ASSERT_TRUE(fs::exists(pid_file));
      break;
    case PidFile::kRunningClient:
      client = testenv::StartStandin(testenv::StandinProgram(testenv::kClientExe));
      ASSERT_TRUE(client.valid());
      std::ofstream(pid_file) << client.pid();
      break;
  }

  EXPECT_EQ(RunQuitCommand(), 1u);
  const auto events = testenv::ReadStandinEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value("event", ""), "quit_no_emulator");
  EXPECT_EQ(events[0].value("pid", 0u), last_pid_);
  EXPECT_FALSE(events[0].contains("target"));
  if (client.valid()) {
    EXPECT_TRUE(client.Running());
  }
  EXPECT_TRUE(LeftoverQuitFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    PidFiles, StandinNoEmulatorTest,
    ::testing::Values(NoEmulatorCase{"NoPidFile", PidFile::kNone},
                      NoEmulatorCase{"Garbage", PidFile::kGarbage},
                      NoEmulatorCase{"EmulatorThatEnded", PidFile::kEndedEmulator},
                      NoEmulatorCase{"PidOfARunningClient", PidFile::kRunningClient}),
    [](const ::testing::TestParamInfo<NoEmulatorCase>& info) { return std::string(info.param.label); });

}  // namespace
