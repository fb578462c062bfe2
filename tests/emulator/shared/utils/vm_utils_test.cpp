#include "emulator/shared/utils/vm_utils.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "base/system.h"
#include "base/gstring.h"
#include "emulator/shared/utils/process_utils.h"
#include "qtbaseex/log/categories.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace vm::utils {
namespace {

using testenv::LogCapture;
using testenv::ReadEventParams;
using testenv::StandinProcess;

KeepWaiting WaitFor(std::uint64_t ms) { return KeepWaitingUntil(platform::TickCount64() + ms); }

// Like WaitFor, but once it has answered false (which starts a forced kill) it
// allows the kill up to 10 s to show, so a loaded machine cannot turn a
// successful kill into a failure.
KeepWaiting TimeOutOnceAfter(std::uint64_t ms) {
  const std::uint64_t deadline = platform::TickCount64() + ms;
  auto timed_out = std::make_shared<bool>(false);
  return [deadline, timed_out](unsigned wait) {
    platform::SleepMs(wait);
    const std::uint64_t now = platform::TickCount64();
    if (now < deadline) return true;
    if (!*timed_out) {
      *timed_out = true;
      return false;
    }
    return now < deadline + 10000;
  };
}

std::string VmCategory() { return lc_vm_utils().categoryName(); }

class VmUtilsTest : public testenv::ProductTest {
 protected:
  std::filesystem::path VersionDir() const { return home() / "install" / "1.0.0.1"; }
  StandinProcess StartProgram(const std::string& name, const std::wstring& parameters = {}) {
    auto program = testenv::InstallStandin(VersionDir(), name);
    auto process = testenv::StartStandin(program, parameters);
    EXPECT_TRUE(process.valid()) << name;
    return process;
  }
  std::string ApplicationName() const {
    return base::gstring::ToUtf8(base::apputils::GetCurrentApplicationName());
  }

  testenv::SpoolReporter reporter_;
  LogCapture log_;
  testenv::MachineLock lock_;
};

TEST_F(VmUtilsTest, EmulatorThatHonoursQuitIsGoneWithinTheWait) {
  auto emulator = StartProgram(testenv::kEmulatorExe);
  const ForceKillInfo info{"test::Quit", __FILE__, __LINE__, ""};

  EXPECT_EQ(ForceQuitNimbrel(WaitFor(10000), &info), FORCE_QUIT_EXITED);

  EXPECT_TRUE(emulator.WaitForExit(0));
  // The action waited for the quit command: its last act, recording that the
  // request was taken, is done.
  bool quit_taken = false;
  for (const auto& event : testenv::ReadStandinEvents()) {
    if (event.value("event", "") == "quit_sent") {
      quit_taken = true;
      EXPECT_EQ(event.value("target", 0LL), emulator.pid());
    }
  }
  EXPECT_TRUE(quit_taken);
  // The quit command was the emulator's own executable with --quit.
  bool quit_command_seen = false;
  for (const auto& command : testenv::ReadStandinCommands()) {
    if (command.argv.size() == 2 && command.argv[1] == "--quit") {
      quit_command_seen = true;
      EXPECT_EQ(command.argv[0], emulator.path().string());
    }
  }
  EXPECT_TRUE(quit_command_seen);

  const auto quits = ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 1u);
  EXPECT_EQ(quits[0].at("proc_name"), "QuarrionEmulator.exe");
  EXPECT_EQ(quits[0].at("pid"), std::to_string(emulator.pid()));
  EXPECT_EQ(quits[0].at("location"), "test::Quit");
  EXPECT_EQ(quits[0].at("result"), "0");
  EXPECT_EQ(quits[0].at("from"), ApplicationName());
  EXPECT_EQ(quits[0].at("duration").find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(ReadEventParams("kill_process").empty());

  const std::string pid = std::to_string(emulator.pid());
  EXPECT_EQ(log_.Find("Try to quit: ", VmCategory()).at(0).message,
            "Try to quit:  QuarrionEmulator.exe , pid= " + pid);
  EXPECT_EQ(log_.Find("QuarrionEmulator.exe  exit. pid=").size(), 1u);
  const auto found = log_.Find(": pid= " + pid + " , path=");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].message.find(emulator.path().string()), std::string::npos);
}

TEST_F(VmUtilsTest, StubbornEmulatorIsTerminatedAfterTheDeadline) {
  testenv::SetEmulatorStubborn(true);
  auto emulator = StartProgram(testenv::kEmulatorExe);
  const ForceKillInfo info{"test::Stubborn", __FILE__, __LINE__, "still there"};

  EXPECT_EQ(ForceQuitNimbrel(TimeOutOnceAfter(1000), &info), FORCE_QUIT_KILLED);

  EXPECT_TRUE(emulator.WaitForExit(0));
  const auto kills = ReadEventParams("kill_process");
  ASSERT_EQ(kills.size(), 1u);
  EXPECT_EQ(kills[0], (std::map<std::string, std::string>{
                          {"proc_name", "QuarrionEmulator.exe"},
                          {"pid", std::to_string(emulator.pid())},
                          {"process_killer_name", "QuarrionUpdate"},
                          {"process_kill_location", "test::Stubborn"},
                          {"success", "succ"},
                          {"error_code", "0"}}));
  const auto quits = ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 1u);
  EXPECT_EQ(quits[0].at("result"), "1");
  EXPECT_EQ(quits[0].at("location"), "test::Stubborn");

  // The quit request reached it and was ignored.
  bool ignored = false;
  for (const auto& event : testenv::ReadStandinEvents()) {
    if (event.value("event", "") == "quit_ignored") ignored = true;
  }
  EXPECT_TRUE(ignored);
  EXPECT_EQ(log_.StartingWith("Timeout: ").at(0).message,
            "Timeout:  QuarrionEmulator.exe  exit timeout ");
  EXPECT_EQ(log_.StartingWith("Force Kill Process: ").at(0).message,
            "Force Kill Process:  QuarrionEmulator.exe , where= test::Stubborn , msg= still there");
  EXPECT_EQ(log_.StartingWith("TerminateProcess: ").at(0).message,
            "TerminateProcess:  QuarrionEmulator.exe , pid= " + std::to_string(emulator.pid()));
}

TEST_F(VmUtilsTest, WithoutKillInfoAStubbornEmulatorIsLeftRunning) {
  testenv::SetEmulatorStubborn(true);
  auto emulator = StartProgram(testenv::kEmulatorExe);

  // A deadline already passed: one 200 ms slice, then the time-out.
  EXPECT_EQ(ForceQuitNimbrel(WaitFor(0), nullptr), FORCE_QUIT_TIMEOUT);

  EXPECT_TRUE(emulator.Running());
  EXPECT_TRUE(ReadEventParams("kill_process").empty());
  const auto quits = ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 1u);
  EXPECT_EQ(quits[0].at("result"), "-1");
  EXPECT_EQ(quits[0].at("location"), "");
  EXPECT_TRUE(log_.StartingWith("TerminateProcess: ").empty());
}

TEST_F(VmUtilsTest, OnlyTheFirstOfTwoEmulatorsIsHandled) {
  testenv::SetEmulatorStubborn(true);
  auto first = StartProgram(testenv::kEmulatorExe);
  auto second = StartProgram(testenv::kEmulatorExe);
  const ForceKillInfo info{"test::Two", __FILE__, __LINE__, ""};

  EXPECT_EQ(ForceQuitNimbrel(TimeOutOnceAfter(500), &info), FORCE_QUIT_KILLED);

  const bool first_gone = first.WaitForExit(0);
  const bool second_gone = second.WaitForExit(0);
  EXPECT_NE(first_gone, second_gone);
  const auto kills = ReadEventParams("kill_process");
  ASSERT_EQ(kills.size(), 1u);
  EXPECT_EQ(kills[0].at("pid"), std::to_string(first_gone ? first.pid() : second.pid()));
  EXPECT_EQ(ReadEventParams("quit_process").size(), 1u);
  EXPECT_EQ(log_.StartingWith("Try to quit: ").size(), 1u);
}

TEST_F(VmUtilsTest, NothingFoundGivesExitedAndNoEvent) {
  const ForceKillInfo info{"test::None", __FILE__, __LINE__, ""};
  EXPECT_EQ(ForceQuitNimbrel(WaitFor(0), &info), FORCE_QUIT_EXITED);
  // An already closed handle slot: the same answer.
  EXPECT_EQ(ForceQuitProcess(nullptr, WaitFor(0), L"Quarrion.exe", 0, &info), FORCE_QUIT_EXITED);

  const auto tries = log_.StartingWith("Try to quit: ");
  ASSERT_EQ(tries.size(), 2u);
  EXPECT_EQ(tries[0].message, "Try to quit:  QuarrionEmulator.exe , pid= 0");
  EXPECT_TRUE(testenv::ReadSpoolEvents().empty());
}

TEST_F(VmUtilsTest, MatchesNamesIgnoringCaseAndSkipsRejectedMatches) {
  auto first = StartProgram(testenv::kAssistantExe);
  auto second = StartProgram(testenv::kAssistantExe);
  std::vector<unsigned long> offered;
  auto only_second = [&](platform::ProcessHandle& handle, PROCESSENTRY32W& entry) {
    EXPECT_TRUE(handle.valid());
    if (entry.th32ProcessID != first.pid() && entry.th32ProcessID != second.pid()) return false;
    offered.push_back(entry.th32ProcessID);
    return entry.th32ProcessID == second.pid();
  };

  EXPECT_EQ(EnumAndWaitProcess(L"quarrionassistant.EXE", 0, only_second, WaitFor(0), nullptr),
            FORCE_QUIT_TIMEOUT);

  EXPECT_NE(std::find(offered.begin(), offered.end(), second.pid()), offered.end());
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(second.Running());
  const auto quits = ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 1u);
  EXPECT_EQ(quits[0].at("pid"), std::to_string(second.pid()));
  EXPECT_EQ(quits[0].at("proc_name"), "quarrionassistant.EXE");
}

TEST_F(VmUtilsTest, QuitReportIsSentWhenTheWaitThrows) {
  auto client = StartProgram(testenv::kClientExe);
  const ForceKillInfo info{"test::Throw", __FILE__, __LINE__, ""};
  KeepWaiting throwing = [](unsigned) -> bool { throw std::runtime_error("predicate failed"); };

  EXPECT_THROW(ForceQuitProcess(client.get(), throwing, L"Quarrion.exe", client.pid(), &info),
               std::runtime_error);

  const auto quits = ReadEventParams("quit_process");
  ASSERT_EQ(quits.size(), 1u);
  EXPECT_EQ(quits[0].at("result"), "-2");
  EXPECT_EQ(quits[0].at("location"), "test::Throw");
}

platform::ErrorCode RefuseAccess(platform::RawProcess, std::uint32_t) {
  return platform::kErrorAccessDenied;
}

// Restores the terminate function a test replaced.
struct TerminateFunctionScope {
  explicit TerminateFunctionScope(platform::TerminateFunction fn)
      : previous(platform::ExchangeTerminateFunction(fn)) {}
  ~TerminateFunctionScope() { platform::ExchangeTerminateFunction(previous); }
  platform::TerminateFunction previous;
};

TEST_F(VmUtilsTest, RefusedTerminationOfAnEndedProcessCountsAsKilled) {
  auto client = StartProgram(testenv::kClientExe);
  ASSERT_EQ(platform::RealTerminateProcess(client.get(), 9), 0u);
  ASSERT_TRUE(client.WaitForExit(5000));
  const ForceKillInfo info{"test::Ended", __FILE__, __LINE__, ""};
  TerminateFunctionScope refuse(&RefuseAccess);

  EXPECT_EQ(KillProcess(client.get(), WaitFor(0), L"Quarrion.exe", client.pid(), &info, true),
            FORCE_QUIT_KILLED);

  const auto kills = ReadEventParams("kill_process");
  ASSERT_EQ(kills.size(), 1u);
  EXPECT_EQ(kills[0].at("success"), "succ");
  EXPECT_EQ(kills[0].at("error_code"), "0");
  // The retry was attempted (the ended process could not be reopened) and
  // nothing was reported as a failure.
  const auto retried = log_.StartingWith("Failed to TerminateProcess: ");
  ASSERT_EQ(retried.size(), 1u);
  EXPECT_EQ(retried[0].type, QtWarningMsg);
  EXPECT_NE(retried[0].message.find("retry_on_fail= true"), std::string::npos);
}

TEST_F(VmUtilsTest, AccessDeniedIsRetriedWithAFreshHandleThatReportsForItself) {
  auto client = StartProgram(testenv::kClientExe);
  // A handle that may wait and query but not terminate: refused with 5.
  auto opened = platform::OpenProcess(client.pid(), kAccessWait);
  ASSERT_TRUE(opened) << opened.error();
  platform::ProcessHandle wait_only = std::move(opened).value();
  const ForceKillInfo info{"test::Reopen", __FILE__, __LINE__, ""};

  EXPECT_EQ(KillProcess(wait_only.get(), WaitFor(10000), L"Quarrion.exe", 0, &info, true),
            FORCE_QUIT_KILLED);

  EXPECT_TRUE(client.WaitForExit(5000));
  // Only the retry reports, with the id it reopened by.
  const auto kills = ReadEventParams("kill_process");
  ASSERT_EQ(kills.size(), 1u);
  EXPECT_EQ(kills[0].at("pid"), std::to_string(client.pid()));
  EXPECT_EQ(kills[0].at("success"), "succ");
  EXPECT_EQ(kills[0].at("error_code"), "0");
  EXPECT_EQ(kills[0].at("process_kill_location"), "test::Reopen");
  const auto failed = log_.StartingWith("Failed to TerminateProcess: ");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].type, QtWarningMsg);
  EXPECT_EQ(failed[0].message, "Failed to TerminateProcess:  Quarrion.exe , err= 5 , "
                               "exit_code= 4294967295 , retry_on_fail= true");
  const auto attempts = log_.StartingWith("TerminateProcess: ");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0].message, "TerminateProcess:  Quarrion.exe , pid= 0");
  EXPECT_EQ(attempts[1].message,
            "TerminateProcess:  Quarrion.exe , pid= " + std::to_string(client.pid()));
}

TEST_F(VmUtilsTest, QuitCommandSignalsNoProgramThatMerelyReusedTheEmulatorsPid) {
  // A client (which a quit signal would end) holds the pid that a killed
  // emulator's file still names.
  auto client = StartProgram(testenv::kClientExe);
  std::ofstream(testenv::StandinDirectory() / "QuarrionEmulator.pid") << client.pid();
  const auto emulator = testenv::InstallStandin(VersionDir(), testenv::kEmulatorExe);

  DWORD code = 0;
  ASSERT_EQ(ShellExecuteOpen(emulator, L"--quit ", &code, true, {}, 1), 0u);

  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(client.Running());
}

// Runs `body` in a child process that has dropped to an unprivileged user,
// and returns what it wrote to its pipe.
std::string RunAsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    std::string out = "setuid-failed";
    if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) out = body();
    const char* data = out.data();
    std::size_t left = out.size();
    while (left > 0) {
      const ssize_t n = ::write(fds[1], data, left);
      if (n <= 0) break;
      data += n;
      left -= static_cast<std::size_t>(n);
    }
    ::_exit(0);  // no test teardown in the child
  }
  ::close(fds[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return result;
}

TEST_F(VmUtilsTest, AccessDeniedIsRetriedOnceThenReportedAsFailure) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act from an unprivileged child";
  auto client = StartProgram(testenv::kClientExe);
  const platform::RawProcess raw = client.get();
  const unsigned long pid = client.pid();

  // The child inherits the handle and the spool; every event it sends lands
  // in the spool before it exits.
  const std::string out = RunAsNobody([&] {
    log_.Clear();
    const ForceKillInfo info{"test::Denied", __FILE__, __LINE__, ""};
    const int result = KillProcess(raw, WaitFor(0), L"Quarrion.exe", pid, &info, true);
    std::ostringstream text;
    text << "result=" << result << "\n";
    for (const auto& line : log_.Lines()) text << line.type << "|" << line.message << "\n";
    return text.str();
  });

  EXPECT_NE(out.find("result=-2\n"), std::string::npos) << out;
  const std::string name = "Quarrion.exe";
  EXPECT_NE(out.find(std::to_string(QtWarningMsg) + "|Failed to TerminateProcess:  " + name +
                     " , err= 5 , exit_code= 4294967295 , retry_on_fail= true"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(std::to_string(QtCriticalMsg) + "|Failed to TerminateProcess:  " + name +
                     " , err= 5 , exit_code= 259"),
            std::string::npos)
      << out;
  EXPECT_TRUE(client.Running());
  const auto kills = ReadEventParams("kill_process");
  ASSERT_EQ(kills.size(), 1u);
  EXPECT_EQ(kills[0].at("success"), "fail");
  EXPECT_EQ(kills[0].at("error_code"), "5");
  EXPECT_EQ(kills[0].at("pid"), std::to_string(pid));
  EXPECT_EQ(kills[0].at("process_kill_location"), "test::Denied");
}

TEST(NormalizePathTest, DropsDevicePrefixesAfterNormalising) {
  EXPECT_EQ(NormalizePath(""), std::filesystem::path());
  EXPECT_EQ(NormalizePath("a/./b/../c"), std::filesystem::path("a/c"));
  EXPECT_EQ(NormalizePath(R"(\\?\C:\x\QuarrionEmulator.exe)"),
            std::filesystem::path(R"(C:\x\QuarrionEmulator.exe)"));
  EXPECT_EQ(NormalizePath(R"(\\.\pipe)"), std::filesystem::path("pipe"));
  // Nothing after the prefix: left as it is.
  EXPECT_EQ(NormalizePath(R"(\\?\)"), std::filesystem::path(R"(\\?\)"));
}

}  // namespace
}  // namespace vm::utils
