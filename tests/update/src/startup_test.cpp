// The built helper, started as its callers start it, in a sandbox machine.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/session.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "quarrion-user.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Status of a helper that had to be killed because it did not end in time.
constexpr int kHung = -2;

// An environment without any display, whose user directories all point at
// `user_dir`, plus `extra_env` ("NAME=value"; a name without '=' is left out).
std::vector<std::string> HelperEnvironment(const fs::path& home, const fs::path& user_dir,
                                           const std::vector<std::string>& extra_env = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "QUARRION_HOME" || name == "HOME" || name.rfind("XDG_", 0) == 0 ||
        name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
        name == "TMPDIR") {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("QUARRION_HOME=" + home.string());
  env.push_back("HOME=" + user_dir.string());
  env.push_back("TMPDIR=" + (user_dir / "tmp").string());
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR"}) {
    env.push_back(std::string(name) + "=" + (user_dir / name).string());
  }
  for (const std::string& extra : extra_env) {
    const std::string name = extra.substr(0, extra.find('='));
    std::erase_if(env, [&](const std::string& e) { return e.substr(0, e.find('=')) == name; });
    if (extra.find('=') != std::string::npos) env.push_back(extra);
  }
  return env;
}

// Runs the helper with exactly `args` (raw bytes: argv[0] included, and not
// necessarily UTF-8, which a parameter text could not carry) in the
// environment of HelperEnvironment. Returns the wait status, or kHung after a
// generous bound.
int RunHelper(const std::vector<std::string>& args, const fs::path& home,
              const fs::path& user_dir, const std::vector<std::string>& extra_env = {}) {
  std::vector<std::string> env = HelperEnvironment(home, user_dir, extra_env);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  // Bounded: a helper stuck in a wait must fail the test, not hang it.
  int status = 0;
  for (int waited_ms = 0; waited_ms < 120000; waited_ms += 10) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return kHung;
}

std::string RunOutcome(int status) {
  if (status == kHung) return "still running after two minutes";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  return "status " + std::to_string(status);
}

// Some kernel thread of this machine (they have pids like any process), or 0.
unsigned KernelThreadPid() {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = testenv::ReadFile(entry.path() / "stat");
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    char state = 0;
    unsigned long flags = 0;
    int ppid = 0, pgrp = 0, session = 0, tty = 0, tpgid = 0;
    if (std::sscanf(stat.c_str() + paren + 1, " %c %d %d %d %d %d %lu", &state, &ppid, &pgrp,
                    &session, &tty, &tpgid, &flags) == 7 &&
        (flags & 0x00200000) != 0) {  // PF_KTHREAD
      return static_cast<unsigned>(std::stoul(name));
    }
  }
  return 0;
}

// No process can have this id (Linux ids stay below 2^22), so the restart's
// unbounded wait for the old client ends at once.
constexpr const char* kGoneClientPid = "4194304";

// The helper's own run logs (the probes' formatted log may lie beside them).
std::vector<fs::path> LogFiles(const fs::path& home) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(home / "logs", ec)) {
    if (entry.path().extension() == ".log" && entry.path().stem().extension() != ".cc") {
      files.push_back(entry.path());
    }
  }
  return files;
}

class HelperStartup : public testenv::ProductTest {
 protected:
  void SetUp() override {
    user_dir_ = MakeTempDir();
    ASSERT_FALSE(user_dir_.empty());
    fs::create_directories(user_dir_ / "tmp");
    // A real session has its runtime directory; Qt makes one in /tmp otherwise.
    fs::create_directories(user_dir_ / "XDG_RUNTIME_DIR");
    fs::permissions(user_dir_ / "XDG_RUNTIME_DIR", fs::perms::owner_all);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(user_dir_, ec);
  }
  // Everything the run left in the user's own directories.
  std::vector<std::string> OutsideWrites() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(user_dir_)) {
      if (entry.path() != user_dir_ / "tmp" && entry.path() != user_dir_ / "XDG_RUNTIME_DIR") {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }
  fs::path user_dir_;
};

TEST_F(HelperStartup, RunsThroughAndLogsItsCommandLineInsideTheHome) {
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--appstore-pid", kGoneClientPid}, home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  const std::string name = logs[0].filename().string();
  EXPECT_EQ(name.rfind("QuarrionUpdate_", 0), 0u) << name;
  const std::string text = testenv::ReadFile(logs[0]);
  const std::string wanted = "] " + program + " --appstore-pid " + kGoneClientPid + "\n";
  const auto at = text.find(wanted);
  ASSERT_NE(at, std::string::npos) << text;
  const std::size_t start = text.rfind('\n', at) + 1;
  const std::string line = text.substr(start, at + wanted.size() - start);
  EXPECT_NE(line.find("[I] [quarrion.app_launch] ["), std::string::npos) << line;
  // The source file as it sits in the tree, not where it was built.
  EXPECT_NE(line.find("] [src/update/src/boot/initialize.cpp:"), std::string::npos) << line;
  EXPECT_NE(line.find("boot::Initialize"), std::string::npos) << line;

  EXPECT_EQ(OutsideWrites(), std::vector<std::string>{});
}

TEST_F(HelperStartup, SurvivesArgumentsThatAreNotUtf8) {
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--pseudo-protocol", "q://\xff\xfe\xc3(", "--appstore-pid",
                                "\xe9t\xe9", "--from", "14\x80"},
                               home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(testenv::ReadFile(logs[0]).find("--pseudo-protocol q://"), std::string::npos);
  EXPECT_EQ(OutsideWrites(), std::vector<std::string>{});
}

// The client id names a kernel thread (as "--appstore-pid 42" does on many
// machines): no program to wait for, so the unlimited wait ends at once.
TEST_F(HelperStartup, ClientPidOfAKernelThreadIsNotWaitedFor) {
  const unsigned kthread = KernelThreadPid();
  if (kthread == 0) GTEST_SKIP() << "no kernel thread visible in /proc";
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status =
      RunHelper({program, "--appstore-pid", std::to_string(kthread)}, home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(LogFiles(home()).size(), 1u);
}

// A DISPLAY that leads nowhere (an old session's) must not keep the helper
// from running: Qt would abort for want of a platform.
TEST_F(HelperStartup, UnreachableDisplayFallsBackToNoDisplay) {
  int display = 4242;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) ++display;
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--appstore-pid", kGoneClientPid}, home(), user_dir_,
                               {"DISPLAY=:" + std::to_string(display)});
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(testenv::ReadFile(logs[0]).find("--appstore-pid " + std::string(kGoneClientPid)),
            std::string::npos);
}

// Without a session runtime directory Qt makes one of its own in the
// temporary directory; even that stays inside the product home.
TEST_F(HelperStartup, WithoutARuntimeDirectoryNothingIsWrittenOutsideTheHome) {
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--appstore-pid", kGoneClientPid}, home(), user_dir_,
                               {"XDG_RUNTIME_DIR"});
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(OutsideWrites(), std::vector<std::string>{});
}

// Qt's own options are part of the command line the helper logs, although
// QApplication takes them out of its arguments.
TEST_F(HelperStartup, LogsQtsOwnOptionsToo) {
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const std::vector<std::string> args = {program, "-platform", "offscreen", "-style", "--from",
                                         "14", "-reverse", "-session", "s 1", "--appstore-pid",
                                         kGoneClientPid};
  const int status = RunHelper(args, home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  const std::string wanted = "] " + program +
                             " -platform offscreen -style --from 14 -reverse -session \"s 1\" "
                             "--appstore-pid " + kGoneClientPid + "\n";
  EXPECT_NE(testenv::ReadFile(logs[0]).find(wanted), std::string::npos)
      << testenv::ReadFile(logs[0]);
}

// What the helper sets for itself (a runtime directory it made, the Qt
// platform it chose) stays with it: the launcher it starts gets exactly the
// environment the helper was started with.
TEST_F(HelperStartup, TheLauncherGetsTheEnvironmentTheHelperWasStartedWith) {
  const fs::path launcher = testenv::InstallStandin(home() / "install", testenv::kLauncherExe);
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const std::vector<std::string> extra = {"XDG_RUNTIME_DIR", "QUARRION_TEST_MARKER=a b=c"};
  const int status = RunHelper({program, "--appstore-pid", kGoneClientPid}, home(), user_dir_, extra);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // The launcher is not waited for by the helper; it records its start.
  long long pid = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (pid == 0 && std::chrono::steady_clock::now() < deadline) {
    for (const auto& command : testenv::ReadStandinCommands()) {
      if (command.name == testenv::kLauncherExe) pid = command.pid;
    }
    if (pid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(pid, 0) << "the launcher was not started";
  platform::ProcessHandle running =
      platform::OpenProcess(static_cast<platform::Pid>(pid), platform::kProcessTerminate | platform::kSynchronize)
          .value_or(platform::ProcessHandle());
  const std::string block = testenv::ReadFile("/proc/" + std::to_string(pid) + "/environ");
  if (running) {
    platform::RealTerminateProcess(running.get(), 1);
    platform::WaitForProcess(running.get(), 5000);
  }
  std::vector<std::string> got = platform::ParseNulSeparated(block);
  std::vector<std::string> want = HelperEnvironment(home(), user_dir_, extra);
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

// A registry file that is not a database: kept aside, recreated, and said
// so in the log; the run goes on.
TEST_F(HelperStartup, DamagedRegistryFileIsRecreatedAndLogged) {
  fs::create_directories(home() / "registry");
  const std::string garbage(4096, 'z');
  std::ofstream(home() / "registry" / "HKCU.db", std::ios::binary) << garbage;
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--appstore-pid", kGoneClientPid}, home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(testenv::ReadFile(home() / "registry" / "HKCU.db.corrupt"), garbage);
  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  const std::string text = testenv::ReadFile(logs[0]);
  const std::string file = (home() / "registry" / "HKCU.db").string();
  const std::string note =
      "] registry file " + file + " was not a database: kept it as " + file + ".corrupt and started an empty one\n";
  const auto at = text.find(note);
  ASSERT_NE(at, std::string::npos) << text;
  const std::size_t start = text.rfind('\n', at) + 1;
  EXPECT_NE(text.substr(start, at - start).find("[W] [quarrion.app_launch] ["), std::string::npos)
      << text.substr(start, at - start);
}

// A display nobody can reach from here.
std::string DeadDisplay() {
  int display = 4242;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) ++display;
  return ":" + std::to_string(display);
}

// Waits (bounded) for the relaunched launcher's record, ends it, and says
// whether it came.
bool LauncherWasStarted() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& command : testenv::ReadStandinCommands()) {
      if (command.name != testenv::kLauncherExe) continue;
      platform::ProcessHandle running =
          platform::OpenProcess(static_cast<platform::Pid>(command.pid),
                                platform::kProcessTerminate | platform::kSynchronize)
              .value_or(platform::ProcessHandle());
      if (running) {
        platform::RealTerminateProcess(running.get(), 1);
        platform::WaitForProcess(running.get(), 5000);
      }
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct PlatformCase {
  const char* name;
  std::vector<std::string> qt_args;  // before the helper's own options
  std::vector<std::string> env;      // on top of HelperEnvironment (no display)
  const char* wanted;                // the platform the warning names; null: no warning
};

class PlatformFallback : public HelperStartup, public ::testing::WithParamInterface<PlatformCase> {};

// Whatever platform the command line or the session asks for, the helper
// makes its pass: a platform Qt cannot start gives way to the headless one,
// the log says so once, and no event reports that platform's made-up screen.
TEST_P(PlatformFallback, MakesItsPassWithoutAScreen) {
  const PlatformCase& c = GetParam();
  testenv::InstallStandin(home() / "install", testenv::kLauncherExe);
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  std::vector<std::string> args = {program};
  args.insert(args.end(), c.qt_args.begin(), c.qt_args.end());
  args.insert(args.end(), {"--appstore-pid", kGoneClientPid});
  const int status = RunHelper(args, home(), user_dir_, c.env);
  ASSERT_TRUE(WIFEXITED(status)) << RunOutcome(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  const std::string text = testenv::ReadFile(logs[0]);
  // The command line is logged as it was given, Qt's options included.
  std::string line = " ";
  for (std::size_t i = 1; i < args.size(); ++i) line += args[i] + (i + 1 < args.size() ? " " : "\n");
  EXPECT_NE(text.find(line), std::string::npos) << text;
  std::size_t warnings = 0;
  for (std::size_t at = text.find("the Qt platform "); at != std::string::npos;
       at = text.find("the Qt platform ", at + 1)) {
    ++warnings;
  }
  if (c.wanted != nullptr) {
    const std::string warning = std::string("] the Qt platform \"") + c.wanted +
                                "\" could not be started: running on \"offscreen\", without a screen\n";
    const auto at = text.find(warning);
    ASSERT_NE(at, std::string::npos) << text;
    const std::size_t start = text.rfind('\n', at) + 1;
    EXPECT_NE(text.substr(start, at - start).find("[W] [quarrion.app_launch] ["), std::string::npos);
    EXPECT_EQ(warnings, 1u) << text;
  } else {
    EXPECT_EQ(warnings, 0u) << text;
  }

  EXPECT_TRUE(LauncherWasStarted());

  const std::vector<nlohmann::json> events = testenv::ReadSpoolEvents();
  ASSERT_FALSE(events.empty());
  for (const auto& event : events) {
    SCOPED_TRACE(event.dump());
    EXPECT_EQ(event["volatile"]["resolution"], "0x0");
    EXPECT_EQ(event["volatile"]["dpi"], "0.00");
    EXPECT_EQ(event["volatile"]["screen_inch"], "-1");
    EXPECT_EQ(event["common"]["monitor_refresh_rate"], "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PlatformFallback,
    ::testing::Values(
        PlatformCase{"NoPluginOfThatName", {"-platform", "foo"}, {}, "foo"},
        PlatformCase{"XcbWithoutDisplay", {"-platform", "xcb"}, {}, "xcb"},
        PlatformCase{"XcbWithADeadDisplay", {"--platform", "xcb:nograb"}, {"DISPLAY=" + DeadDisplay()}, "xcb"},
        PlatformCase{"LastPlatformOptionCounts", {"-platform", "offscreen", "-platform", "foo"}, {}, "foo"},
        // Qt takes whatever follows -platform as its value, an option too.
        PlatformCase{"OptionTakesTheNextArgument", {"-platform"}, {}, "--appstore-pid"},
        PlatformCase{"VariableNamesNoPlugin", {}, {"QT_QPA_PLATFORM=foo"}, "foo"},
        PlatformCase{"VariableXcbWithADeadDisplay", {}, {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + DeadDisplay()}, "xcb"},
        PlatformCase{"SessionsDisplayIsDead", {}, {"DISPLAY=" + DeadDisplay()}, "xcb"},
        PlatformCase{"OptionOverridesAGoodVariable", {"-platform", "foo"}, {"QT_QPA_PLATFORM=offscreen"}, "foo"},
        // Plugins that would end the process themselves are not tried.
        PlatformCase{"EglWithoutADisplay", {"-platform", "eglfs"}, {}, "eglfs"},
        PlatformCase{"MinimalEglInAList", {}, {"QT_QPA_PLATFORM=minimalegl;foo"}, "minimalegl"},
        // Forms Qt does not take as a platform choice: nothing to fall back from.
        PlatformCase{"EqualsFormIsNotQtsOption", {"-platform=foo"}, {}, nullptr},
        PlatformCase{"ValueOfAnotherOption", {"-platformtheme", "-platform"}, {}, nullptr},
        PlatformCase{"HeadlessAskedFor", {}, {"QT_QPA_PLATFORM=offscreen"}, nullptr},
        PlatformCase{"MinimalAskedFor", {"-platform", "minimal"}, {}, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
