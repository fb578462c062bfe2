// The built helper, run end to end in a fresh product home with stand-in
// product programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/gstring.h"
#include "command_line.h"
#include "common/utils/command_args.h"
#include "common/utils/deadlines.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"
#include "update/old_version_cleanup.h"
#include "update/src/update/sandbox.h"

namespace fs = std::filesystem;
using sandbox::Names;
using sandbox::Snapshot;
using sandbox::Write;
using Strings = std::vector<std::string>;

namespace {

constexpr char kRestart[] = "update::RestartAppStore";
constexpr char kCleanup[] = "`anonymous-namespace'::ClearOldVersion";

platform::ProcessHandle StartHelper(const std::wstring& parameters) {
  platform::LaunchRequest request;
  request.file = testenv::BinDir() / "QuarrionUpdate.exe";
  request.parameters = parameters;
  request.want_handle = true;
  platform::ProcessHandle handle;
  EXPECT_EQ(platform::Launch(request, &handle), 0u);
  return handle;
}

bool Ended(const platform::ProcessHandle& process, std::uint32_t timeout_ms) {
  return platform::WaitForProcess(process.get(), timeout_ms) == platform::kWaitObject0;
}

std::uint32_t ExitCode(const platform::ProcessHandle& process) {
  return platform::GetExitCode(process.get()).value_or(platform::kStillActive);
}

// Waits for the first recorded start of `name` (the helper does not wait for
// the program it launches).
std::optional<testenv::StandinCommand> WaitForStart(const std::string& name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (auto& command : testenv::ReadStandinCommands()) {
      if (command.name == name) return command;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

Strings Tail(const testenv::StandinCommand& command) {
  return Strings(command.argv.begin() + (command.argv.empty() ? 0 : 1), command.argv.end());
}

std::vector<std::map<std::string, std::string>> EventsAt(const std::string& event,
                                                        const std::string& location) {
  auto all = testenv::ReadEventParams(event);
  const char* key = event == "kill_process" ? "process_kill_location" : "location";
  std::erase_if(all, [&](const auto& p) { return p.at(key) != location; });
  return all;
}

class RestartTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    root_ = home() / "install";
    sandbox::MakeVersions(root_);
  }
  // Programs the helper started are not ours to wait for: end every one this
  // home recorded that is still running.
  void TearDown() override {
    testenv::SetEmulatorStubborn(false);
    for (const auto& command : testenv::ReadStandinCommands()) {
      auto h = platform::OpenProcess(
          static_cast<platform::Pid>(command.pid),
          platform::kProcessTerminate | platform::kSynchronize);
      if (!h) continue;
      platform::RealTerminateProcess(h->get(), 1);
      platform::WaitForProcess(h->get(), 5000);
    }
  }
  fs::path root_;
};

// The whole restart, including an emulator that ignores the quit request.
TEST_F(RestartTest, WaitsForTheClientEndsTheRestCleansUpAndStartsTheLauncher) {
  testenv::InstallStandin(root_, testenv::kLauncherExe);
  const fs::path clients = home() / "running";
  const fs::path client_exe = testenv::InstallStandin(clients, testenv::kClientExe);
  testenv::StandinProcess old_client = testenv::StartStandin(client_exe);
  testenv::StandinProcess other1 = testenv::StartStandin(client_exe);
  testenv::StandinProcess other2 = testenv::StartStandin(client_exe);
  testenv::SetEmulatorStubborn(true);
  testenv::StandinProcess emulator = testenv::StartStandin(
      testenv::InstallStandin(root_ / "1.0.0.3", testenv::kEmulatorExe));
  ASSERT_TRUE(old_client.valid() && other1.valid() && other2.valid() && emulator.valid());
  const auto current = Snapshot(root_ / "1.0.0.3");
  const auto newer = Snapshot(root_ / "2.0.0.0");

  platform::ProcessHandle helper =
      StartHelper(L"--appstore-pid " + std::to_wstring(old_client.pid()));
  ASSERT_TRUE(helper);
  // However long it takes, it must not get past the old client.
  EXPECT_FALSE(Ended(helper, 3000));
  EXPECT_TRUE(other1.Running());
  EXPECT_TRUE(fs::exists(root_ / "1.0.0.1"));
  old_client.Stop();

  ASSERT_TRUE(Ended(helper, 60000));
  EXPECT_EQ(ExitCode(helper), 0u);

  // The remaining clients and the stubborn emulator are gone.
  EXPECT_TRUE(other1.WaitForExit(0));
  EXPECT_TRUE(other2.WaitForExit(0));
  EXPECT_TRUE(emulator.WaitForExit(0));

  const auto kills = EventsAt("kill_process", kRestart);
  std::multiset<std::string> killed;
  for (const auto& p : kills) {
    killed.insert(fs::path(p.at("proc_name")).filename().string() + ":" + p.at("pid"));
    EXPECT_EQ(p.at("success"), "succ");
    EXPECT_EQ(p.at("process_killer_name"), "QuarrionUpdate");
  }
  EXPECT_EQ(killed, (std::multiset<std::string>{
                        "Quarrion.exe:" + std::to_string(other1.pid()),
                        "Quarrion.exe:" + std::to_string(other2.pid()),
                        "QuarrionEmulator.exe:" + std::to_string(emulator.pid())}));

  // First pass: asked, not waited for; forced pass: terminated.
  const auto quits = testenv::ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 2u);
  EXPECT_EQ(quits[0].at("location"), "");
  EXPECT_EQ(quits[0].at("result"), "-1");
  EXPECT_EQ(quits[1].at("location"), kRestart);
  EXPECT_EQ(quits[1].at("result"), "1");
  EXPECT_EQ(quits[1].at("pid"), std::to_string(emulator.pid()));
  // Terminated only once its 15 s were up. The deadline is fixed before the
  // quit command runs and the event's clock starts after it, so a slow start
  // of that command on a busy machine shortens the measured wait a little.
  EXPECT_GE(std::stoll(quits[1].at("duration")), 14000);
  // The emulator was asked to quit twice, by its own executable.
  int quit_commands = 0;
  for (const auto& c : testenv::ReadStandinCommands()) {
    if (c.name == testenv::kEmulatorExe && Tail(c) == Strings{"--quit"}) ++quit_commands;
  }
  EXPECT_EQ(quit_commands, 2);

  EXPECT_FALSE(fs::exists(root_ / "1.0.0.1"));
  EXPECT_EQ(Names(root_ / "1.0.0.2"), (std::set<std::string>{"logs"}));
  EXPECT_EQ(Snapshot(root_ / "1.0.0.3"), current);
  EXPECT_EQ(Snapshot(root_ / "2.0.0.0"), newer);
  EXPECT_TRUE(EventsAt("kill_process", kCleanup).empty());

  const auto launcher = WaitForStart(testenv::kLauncherExe);
  ASSERT_TRUE(launcher);
  EXPECT_EQ(launcher->argv.at(0), (root_ / "QuarrionLauncher.exe").string());
  EXPECT_EQ(Tail(*launcher), (Strings{"--from", "6", "--launch-proc-name", "Quarrion.exe"}));

  // One cleanup event, sent after the relaunch: the user was without a
  // client from the old one's exit, through the 15 s the stubborn emulator
  // was given, to the launch.
  const auto cleanups = testenv::ReadEventParams("clear_old_version");
  ASSERT_EQ(cleanups.size(), 1u);
  EXPECT_EQ(cleanups[0].at("result"), "done");
  EXPECT_EQ(cleanups[0].at("versions"), "2");
  EXPECT_EQ(cleanups[0].at("versions_whole"), "1");
  EXPECT_EQ(cleanups[0].at("failed"), "0");
  EXPECT_GE(std::stoll(cleanups[0].at("no_client_duration")), 14000);
  EXPECT_GE(std::stoll(cleanups[0].at("no_client_duration")),
            std::stoll(cleanups[0].at("duration")));
}

struct LaunchCase {
  const char* label;
  std::wstring helper_arguments;
  bool client;  // the client from the current version, else the launcher
  Strings expected;
};

void PrintTo(const LaunchCase& c, std::ostream* os) { *os << c.label; }

class ClientLaunchTest : public RestartTest, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(ClientLaunchTest, StartsTheRightProgramWithTheOptionsPassedOn) {
  testenv::InstallStandin(root_, testenv::kLauncherExe);
  testenv::InstallStandin(root_ / "1.0.0.3", testenv::kClientExe);
  platform::ProcessHandle helper = StartHelper(GetParam().helper_arguments);
  ASSERT_TRUE(Ended(helper, 60000));
  EXPECT_EQ(ExitCode(helper), 0u);

  const char* name = GetParam().client ? testenv::kClientExe : testenv::kLauncherExe;
  const fs::path expected_file =
      GetParam().client ? root_ / "1.0.0.3" / "Quarrion.exe" : root_ / "QuarrionLauncher.exe";
  const auto started = WaitForStart(name);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->argv.at(0), expected_file.string());
  EXPECT_EQ(Tail(*started), GetParam().expected);
  // Only one program is started.
  EXPECT_EQ(testenv::ReadStandinCommands().size(), 1u);
  // With nothing running, the restart itself ends nothing and reports nothing.
  EXPECT_TRUE(testenv::ReadSpoolEvents("kill_process").empty());
  EXPECT_TRUE(testenv::ReadSpoolEvents("quit_process").empty());
  std::string log;
  for (const auto& entry : fs::directory_iterator(home() / "logs")) {
    log += testenv::ReadFile(entry.path());
  }
  EXPECT_NE(log.find("RestartAppStore begin..."), std::string::npos);
  EXPECT_NE(log.find("RestartAppStore end."), std::string::npos);
  EXPECT_LT(log.find("RestartAppStore begin..."), log.find("ClearOldVersion..."));
  EXPECT_LT(log.find("ClearOldVersion..."), log.find("RestartAppStore end."));
  // Each line names its function the same way on every platform.
  EXPECT_NE(log.find("[void __cdecl update::RestartAppStore(void)] RestartAppStore begin..."),
            std::string::npos);
  EXPECT_NE(log.find("[void __cdecl `anonymous-namespace'::ClearOldVersion(void)] "
                     "removing directory:  " + (root_ / "1.0.0.1").string() + "\n"),
            std::string::npos);
}

const std::string kAwkward = "quarrion://open?q=\"a b\"&dir=C:\\x\\ \\\\\"\xC3\xA9\\";

std::wstring Quoted(const std::string& value) {
  std::wstring q = QuoteArg(std::string_view(value));
  return q;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ClientLaunchTest,
    ::testing::Values(
        LaunchCase{"Plain", L"", false, {"--from", "6", "--launch-proc-name", "Quarrion.exe"}},
        LaunchCase{"TrayAndLanguage",
                   L"--launch-store-tray 1 --restore-language-restart-apps 1",
                   false,
                   {"--from", "6", "--launch-proc-name", "Quarrion.exe",
                    "--restore-language-restart-apps", "", "--silent", ""}},
        LaunchCase{"EmptyProtocol",
                   L"--pseudo-protocol \"\"",
                   true,
                   {"--from", "6", "--launch-proc-name", "Quarrion.exe", "--pseudo-protocol", ""}},
        LaunchCase{"AwkwardProtocolAndAll",
                   L"--restore-language-restart-apps x --pseudo-protocol " + Quoted(kAwkward) +
                       L"-launch-store-tray y",
                   true,
                   {"--from", "6", "--launch-proc-name", "Quarrion.exe", "--pseudo-protocol",
                    kAwkward, "--restore-language-restart-apps", "", "--silent", ""}}),
    [](const ::testing::TestParamInfo<LaunchCase>& info) { return info.param.label; });

// A program of the product running from an old version is ended before its
// directory goes; the same program running from elsewhere is left alone.
TEST_F(RestartTest, EndsOnlyProgramsRunningFromTheOldVersion) {
  testenv::SpoolReporter reporter;
  testenv::StandinProcess inside =
      testenv::StartStandin(testenv::InstallStandin(root_ / "1.0.0.1", "QuarrionVfs.exe"));
  testenv::StandinProcess outside =
      testenv::StartStandin(testenv::InstallStandin(home() / "elsewhere", "QuarrionVfs.exe"));
  ASSERT_TRUE(inside.valid() && outside.valid());
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  EXPECT_TRUE(inside.WaitForExit(5000));
  EXPECT_TRUE(outside.Running());
  EXPECT_FALSE(fs::exists(root_ / "1.0.0.1"));
  const auto kills = EventsAt("kill_process", kCleanup);
  ASSERT_EQ(kills.size(), 1u);
  EXPECT_EQ(kills[0].at("pid"), std::to_string(inside.pid()));
  EXPECT_EQ(kills[0].at("success"), "succ");

  // The kill comes before the removal of its file.
  const auto lines = log.Lines();
  auto index_of = [&](const std::string& text) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].message.find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1L;
  };
  const long kill_line = index_of("[kill_process] killer");
  const long removal_line = index_of("1.0.0.1/QuarrionVfs.exe");
  ASSERT_GE(kill_line, 0);
  ASSERT_GE(removal_line, 0);
  EXPECT_LT(kill_line, removal_line);
}

// A running emulator is asked to quit in the cleanup's own name, at its place
// in the table of product programs (before its file and the tree go); the
// next old version finds it gone.
TEST_F(RestartTest, TheCleanupAsksARunningEmulatorToQuitFirst) {
  testenv::SpoolReporter reporter;
  testenv::StandinProcess emulator = testenv::StartStandin(
      testenv::InstallStandin(home() / "elsewhere", testenv::kEmulatorExe));
  ASSERT_TRUE(emulator.valid());
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  EXPECT_TRUE(emulator.WaitForExit(5000));
  const auto quits = testenv::ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 1u);
  EXPECT_EQ(quits[0].at("location"), kCleanup);
  EXPECT_EQ(quits[0].at("pid"), std::to_string(emulator.pid()));
  EXPECT_EQ(quits[0].at("result"), "0");
  EXPECT_TRUE(testenv::ReadEventParams("kill_process").empty());
  // Asked once per removed version, between the program files.
  const auto lines = log.Lines();
  std::vector<std::string> steps;
  for (const auto& line : lines) {
    if (line.message.rfind("removing directory: ", 0) == 0) steps.push_back("removing");
    if (line.message.rfind("Try to quit: ", 0) == 0) steps.push_back("quit");
    if (line.message.rfind("remove file force: ", 0) == 0 && steps.back() != "file") {
      steps.push_back("file");
    }
  }
  EXPECT_EQ(steps, (Strings{"removing", "file", "quit", "file", "removing", "file", "quit",
                            "file"}));
}

// The helper killed in the middle of removing an old version: the next run
// finishes the job, and the current version is never touched.
TEST_F(RestartTest, AnInterruptedCleanupIsFinishedByTheNextRun) {
  const fs::path old_version = root_ / "1.0.0.1";
  constexpr int kFolders = 200;
  const auto current = Snapshot(root_ / "1.0.0.3");
  bool interrupted = false;
  for (int attempt = 0; attempt < 5 && !interrupted; ++attempt) {
    for (int d = 0; d < kFolders; ++d) {
      for (int f = 0; f < 15; ++f) {
        Write(old_version / ("d" + std::to_string(d)) / "sub" / ("f" + std::to_string(f)));
      }
    }
    // The removal walks the folder in listing order: the first entry listed
    // is the first to go, so watching it alone tells the walk has begun.
    const fs::path first = fs::directory_iterator(old_version)->path();
    platform::ProcessHandle helper = StartHelper(L"");
    for (;;) {
      if (Ended(helper, 0)) break;  // too late to interrupt
      if (!fs::exists(first)) {
        platform::RealTerminateProcess(helper.get(), 9);
        interrupted = true;
        break;
      }
    }
    ASSERT_TRUE(Ended(helper, 60000));
  }
  ASSERT_TRUE(interrupted) << "the removal never was caught half-way";
  EXPECT_TRUE(fs::exists(old_version));
  EXPECT_EQ(Snapshot(root_ / "1.0.0.3"), current);

  platform::ProcessHandle again = StartHelper(L"");
  ASSERT_TRUE(Ended(again, 60000));
  EXPECT_EQ(ExitCode(again), 0u);
  EXPECT_FALSE(fs::exists(old_version));
  EXPECT_EQ(Names(root_ / "1.0.0.2"), (std::set<std::string>{"logs"}));
  EXPECT_EQ(Snapshot(root_ / "1.0.0.3"), current);
}

}  // namespace
