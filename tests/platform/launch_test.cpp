#include "platform/launch.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <string>
#include <vector>

#include "platform/child/test_child.h"
#include "platform/text.h"
#include "support/test_env.h"

namespace {

using platform_test::ChildPath;
using platform_test::ScopedEnv;
using Args = std::vector<std::wstring>;

// One argument as the writers of child command lines put it: quoted, then a blank.
std::wstring Quote(const std::wstring& value) {
  return platform::QuoteCommandLineArgument(value) + L" ";
}

const Args kHostile = {
    L"plain",
    L"two words",
    L"tab\there",
    L"",
    L"\"quoted\"",
    L"back\\slash",
    L"trailing\\",
    L"trailing two\\\\",
    L"\\\"mixed\\\\\"",
    L"a\\\\\\\"b",
    L" leading and trailing ",
    L"--opt=\"x y\"",
    L"\"\"\"",
    L"C:\\Program Files\\Quarrion\\",
    L"\u00fc\u00f1 \u6f22\u5b57 \U0001F600",
    L"%PATH% $HOME `id` ; | & > <",
};

class LaunchTest : public testenv::ProductTest {
 protected:
  // Starts the child, waits for it, and returns the NUL-separated argv it saw.
  std::string RunForArgv(platform::LaunchRequest request) {
    const auto out = home() / "argv";
    std::filesystem::remove(out);
    ScopedEnv env("PLATFORM_CHILD_ARGV_OUT", out.string());
    request.want_handle = true;
    platform::ProcessHandle child;
    EXPECT_EQ(platform::Launch(request, &child), platform::kErrorSuccess);
    if (!child) return {};
    EXPECT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
    return testenv::ReadFile(out);
  }

  // Runs the child with one output variable set and returns what it wrote.
  std::string RunForOutput(const char* variable, platform::LaunchRequest request) {
    const auto out = home() / "out";
    std::filesystem::remove(out);
    ScopedEnv env(variable, out.string());
    request.want_handle = true;
    platform::ProcessHandle child;
    EXPECT_EQ(platform::Launch(request, &child), platform::kErrorSuccess);
    if (!child) return {};
    EXPECT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
    return testenv::ReadFile(out);
  }
};

// argv[0] of the test child started by its path: as given on POSIX; on
// Windows the command line carries the full path in the system's spelling.
std::string ProgramAsStarted() {
#ifdef _WIN32
  return platform::text::ToUtf8(platform::text::WideFromPath(ChildPath().lexically_normal()));
#else
  return ChildPath().string();
#endif
}

std::string Joined(const std::vector<std::string>& argv) {
  std::string out;
  for (const auto& arg : argv) out.append(arg).push_back('\0');
  return out;
}

std::string FieldOf(const std::string& status, const std::string& name) {
  auto at = status.find("\n" + name + ":");
  if (at == std::string::npos) return "missing";
  at += name.size() + 2;
  auto end = status.find('\n', at);
  std::string value = status.substr(at, end - at);
  value.erase(0, value.find_first_not_of(" \t"));
  return value;
}

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
  struct Case {
    const wchar_t* text;
    Args expected;
  };
  const Case cases[] = {
      {L"", {}},
      {L" \t ", {}},
      {L"a b\t\tc  ", {L"a", L"b", L"c"}},
      {L"\"a b\" c", {L"a b", L"c"}},
      {L"a\\\\b c\\", {L"a\\\\b", L"c\\"}},          // backslashes alone are literal
      {L"a\\\\\"b c\"", {L"a\\b c"}},                // 2n: n, then the quote groups
      {L"a\\\\\\\"b", {L"a\\\"b"}},                  // 2n+1: n and a literal quote
      {L"\"\" x", {L"", L"x"}},                      // empty quoted pair
      {L"x \"\"", {L"x", L""}},
      {L"\"a\"\"b c\"", {L"a\"b", L"c"}},            // "" in a group: quote, group ends
      {L"\"\"\"a\"\"\"", {L"\"a\""}},
      {L"a\"b c\"d e", {L"ab cd", L"e"}},            // grouping inside a word
      {L"\"open to the end", {L"open to the end"}},
      {L"line\nbreak", {L"line\nbreak"}},            // only blank and tab separate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::SplitCommandLine(c.text), c.expected)
        << platform::text::ToUtf8(c.text);
  }
}

TEST(SplitCommandLineTest, ProgramNameHasNoBackslashRules) {
  EXPECT_EQ(platform::SplitCommandLine(L"\"C:\\Program Files\\x.exe\" -a \"b c\"", true),
            (Args{L"C:\\Program Files\\x.exe", L"-a", L"b c"}));
  // The quoted name ends at the next quote, backslash or not.
  EXPECT_EQ(platform::SplitCommandLine(L"\"C:\\dir\\\"rest x", true),
            (Args{L"C:\\dir\\", L"rest", L"x"}));
  EXPECT_EQ(platform::SplitCommandLine(L"prog\\\"name x", true),
            (Args{L"prog\\\"name", L"x"}));
  EXPECT_EQ(platform::SplitCommandLine(L"", true), Args{});
}

TEST(SplitCommandLineTest, IsTheInverseOfCorrectQuoting) {
  for (const auto& value : kHostile) {
    EXPECT_EQ(platform::SplitCommandLine(Quote(value)), Args{value})
        << platform::text::ToUtf8(Quote(value));
  }
  std::wstring all;
  for (const auto& value : kHostile) all += Quote(value);
  EXPECT_EQ(platform::SplitCommandLine(all), kHostile);
}

TEST_F(LaunchTest, ChildReceivesHostileArgumentsByteForByte) {
  platform::LaunchRequest request;
  request.file = ChildPath();
  for (const auto& value : kHostile) request.parameters += Quote(value);

  std::vector<std::string> expected{ProgramAsStarted()};
  for (const auto& value : kHostile) expected.push_back(platform::text::ToUtf8(value));
  EXPECT_EQ(RunForArgv(request), Joined(expected));
}

// Every way of starting a program hands over the exact arguments and gives
// back the exact exit code.
TEST_F(LaunchTest, EveryStartPassesArgumentsAndExitCodeExactly) {
  struct Case {
    const char* name;
    bool shell_open;
    bool restricted;
  };
  const Case cases[] = {{"direct", false, false}, {"shell open", true, false},
                        {"restricted", false, true}};
  std::uint32_t code = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto out = home() / "argv";
    std::filesystem::remove(out);
    ScopedEnv env("PLATFORM_CHILD_ARGV_OUT", out.string());
    ScopedEnv exit_code("PLATFORM_CHILD_EXIT", std::to_string(++code));
    platform::LaunchRequest request;
    request.file = ChildPath();
    request.shell_open = c.shell_open;
    request.restricted = c.restricted;
    for (const auto& value : kHostile) request.parameters += Quote(value);
    request.want_handle = true;
    platform::ProcessHandle child;
    ASSERT_EQ(platform::Launch(request, &child), platform::kErrorSuccess);
    ASSERT_TRUE(child);
    ASSERT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
    EXPECT_EQ(platform::GetExitCode(child.get()).value_or(0), code);
    // argv[0] is the program however the start spells it; the rest is exact.
    std::string seen = testenv::ReadFile(out);
    seen.erase(0, seen.find('\0') + 1);
    std::vector<std::string> expected;
    for (const auto& value : kHostile) expected.push_back(platform::text::ToUtf8(value));
    EXPECT_EQ(seen, Joined(expected));
  }
}

TEST_F(LaunchTest, ParametersMayNameTheProgramThemselves) {
  platform::LaunchRequest request;
  request.file = ChildPath();
  request.parameters = L"\"my prog\\\" x \"y \\\"z\\\"\"";
  request.parameters_include_program = true;
  EXPECT_EQ(RunForArgv(request), Joined({"my prog\\", "x", "y \"z\""}));
}

TEST_F(LaunchTest, RunsInTheRequestedDirectory) {
  const auto dir = home() / platform::text::PathFromWide(L"work dir \u00fc");
  std::filesystem::create_directory(dir);
  platform::LaunchRequest request;
  request.file = ChildPath();
  request.directory = dir;
  EXPECT_EQ(RunForOutput("PLATFORM_CHILD_CWD_OUT", request),
            platform::text::ToUtf8(platform::text::WideFromPath(dir)));
}

TEST_F(LaunchTest, FailuresAreReportedAsErrorCodes) {
  const auto plain = home() / "plain.txt";
  std::ofstream(plain) << "not a program";
  std::filesystem::permissions(plain, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_write);
  const auto garbage = home() / "garbage.exe";
  std::ofstream(garbage) << "\x01\x02 neither ELF nor script";
  std::filesystem::permissions(garbage, std::filesystem::perms::owner_all);

  struct Case {
    std::filesystem::path file;
    std::filesystem::path directory;
    platform::ErrorCode expected;
  };
  const Case cases[] = {
      {{}, {}, platform::kErrorFileNotFound},
      {home() / "missing.exe", {}, platform::kErrorFileNotFound},
      {home() / "no" / "such" / "dir.exe", {}, platform::kErrorFileNotFound},
      {home(), {}, platform::kErrorAccessDenied},
#ifdef _WIN32
      // No execute bit there: a text file is simply no program.
      {plain, {}, platform::kErrorBadExeFormat},
#else
      {plain, {}, platform::kErrorAccessDenied},
#endif
      {garbage, {}, platform::kErrorBadExeFormat},
      {ChildPath(), home() / "missing-dir", platform::kErrorDirectory},
  };
  for (const auto& c : cases) {
    platform::LaunchRequest request;
    request.file = c.file;
    request.directory = c.directory;
    request.want_handle = true;
    platform::ProcessHandle child;
    EXPECT_EQ(platform::Launch(request, &child), c.expected) << c.file << " in " << c.directory;
    EXPECT_FALSE(child);
    // Without a handle the error still comes back from the detached child.
    request.want_handle = false;
    EXPECT_EQ(platform::Launch(request), c.expected) << c.file << " in " << c.directory;
  }
}

#ifdef _WIN32
// The restricted start's token keeps the Administrators group only to deny
// access, or not at all; the plain start keeps what this process has.
TEST_F(LaunchTest, RestrictedChildKeepsItsUserButLosesAdministrativePowers) {
  platform::LaunchRequest request;
  request.file = ChildPath();
  request.restricted = true;
  const std::string status = RunForOutput("PLATFORM_CHILD_STATUS_OUT", request);
  EXPECT_EQ(FieldOf(status, "admin-member"), "0") << status;
  EXPECT_NE(FieldOf(status, "admin-group"), "enabled") << status;

  request.restricted = false;
  const std::string normal = RunForOutput("PLATFORM_CHILD_STATUS_OUT", request);
  EXPECT_EQ(FieldOf(normal, "admin-member"), "1") << normal;
  EXPECT_EQ(FieldOf(normal, "admin-group"), "enabled") << normal;
}
#else
TEST_F(LaunchTest, DetachedChildIsNeitherOurChildNorOurZombie) {
  const auto pid_file = home() / "pid";
  {
    ScopedEnv out("PLATFORM_CHILD_PID_OUT", pid_file.string());
    platform::LaunchRequest request;
    request.file = ChildPath();
    ASSERT_EQ(platform::Launch(request), platform::kErrorSuccess);
  }
  ASSERT_TRUE(platform_test::WaitForFile(pid_file));
  const pid_t pid = static_cast<pid_t>(std::stol(testenv::ReadFile(pid_file)));
  siginfo_t info{};
  EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // The intermediate process was reaped by Launch itself: no zombie of ours.
  int zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    auto paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(text.c_str() + paren + 1, " %c %d", &state, &ppid) == 2 && state == 'Z' &&
        ppid == ::getpid()) {
      ++zombies;
    }
  }
  EXPECT_EQ(zombies, 0);
}

TEST_F(LaunchTest, ChildInheritsNoStrayDescriptors) {
  const int stray = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(stray, 3);
  platform::LaunchRequest request;
  request.file = ChildPath();
  const std::string fds = RunForOutput("PLATFORM_CHILD_FDS_OUT", request);
  ::close(stray);
  EXPECT_EQ(fds, "0\n1\n2\n");
}

TEST_F(LaunchTest, RestrictedChildKeepsItsUserButLosesAdministrativePowers) {
  platform::LaunchRequest request;
  request.file = ChildPath();
  request.restricted = true;
  const std::string status = RunForOutput("PLATFORM_CHILD_STATUS_OUT", request);
  EXPECT_EQ(FieldOf(status, "CapEff"), "0000000000000000");
  EXPECT_EQ(FieldOf(status, "CapPrm"), "0000000000000000");
  EXPECT_EQ(FieldOf(status, "CapAmb"), "0000000000000000");
  EXPECT_EQ(FieldOf(status, "NoNewPrivs"), "1");
  const std::string uid = std::to_string(::getuid());
  EXPECT_EQ(FieldOf(status, "Uid").substr(0, uid.size() + 1), uid + "\t");

  if (::geteuid() == 0) {
    // The same start without the restriction keeps root's powers.
    request.restricted = false;
    const std::string normal = RunForOutput("PLATFORM_CHILD_STATUS_OUT", request);
    EXPECT_NE(FieldOf(normal, "CapEff"), "0000000000000000");
    EXPECT_EQ(FieldOf(normal, "NoNewPrivs"), "0");
  }
}
#endif

}  // namespace
