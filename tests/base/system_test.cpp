#include "base/system.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "platform/process.h"
#include "support/scoped_env.h"
#include "support/test_env.h"

extern char** environ;

namespace {

using base::gstring::FromPath;

// A long sleeper under a product-like image name, started directly.
class Sleeper {
 public:
  // `cwd`, when given, is its current directory.
  Sleeper(const std::filesystem::path& dir, const std::string& name,
          const std::filesystem::path& cwd = {}) {
    std::filesystem::create_directories(dir);
    path_ = dir / name;
    std::filesystem::copy_file("/bin/sleep", path_, std::filesystem::copy_options::overwrite_existing);
    std::string exe = path_.string();
    std::string seconds = "300";
    char* argv[] = {exe.data(), seconds.data(), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!cwd.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    ::posix_spawn_file_actions_destroy(&actions);
  }
  ~Sleeper() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Reap();
    }
  }
  pid_t pid() const { return pid_; }
  const std::filesystem::path& path() const { return path_; }
  // Whether it still runs (a killed child is a zombie until reaped).
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return false;
    }
    return r == 0;
  }
  int Reap() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

 private:
  std::filesystem::path path_;
  pid_t pid_ = -1;
};

// Waits until /proc shows the copied image (the exec has happened).
bool WaitForImage(const Sleeper& s) {
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(s.pid()) + "/exe", ec);
    if (!ec && exe == s.path()) return true;
    ::usleep(10000);
  }
  return false;
}

struct Call {
  std::filesystem::path image;
  unsigned long pid;
  unsigned long error;
};

class SystemTest : public testenv::ProductTest {
 protected:
  std::vector<Call> calls;
  base::system::KillCallback Recorder() {
    return [this](const std::filesystem::path& image, unsigned long pid, unsigned long error) {
      calls.push_back({image, pid, error});
    };
  }
};

std::atomic<int> g_hooked{0};
platform::ErrorCode CountingTerminate(platform::RawProcess process, std::uint32_t code) {
  ++g_hooked;
  return platform::RealTerminateProcess(process, code);
}

TEST_F(SystemTest, KillProcessEndsOnlyProcessesInTheDirectory) {
  const std::filesystem::path version = home() / "install" / "1.0.0.1";
  const std::filesystem::path other = home() / "install" / "1.0.0.2";
  Sleeper inside(version, "QuarrionVm.exe");
  Sleeper nested(version / "bin", "QuarrionVm.exe");
  Sleeper outside(other, "QuarrionVm.exe");
  Sleeper other_name(version, "QuarrionService.exe");
  ASSERT_TRUE(WaitForImage(inside) && WaitForImage(nested) && WaitForImage(outside) &&
              WaitForImage(other_name));

  g_hooked = 0;
  const auto previous = platform::ExchangeTerminateFunction(&CountingTerminate);
  // Names compare without case; the directory is given unnormalised.
  const std::wstring_view names[] = {L"quarrionvm.EXE"};
  const unsigned ended =
      base::system::KillProcess(names, version / "." / "bin" / ".." / "", 5000, 0, Recorder());
  platform::ExchangeTerminateFunction(previous);

  EXPECT_EQ(ended, 2u);
  EXPECT_EQ(g_hooked.load(), 2);  // every kill went through the hookable path
  ASSERT_EQ(calls.size(), 2u);
  std::vector<unsigned long> pids;
  for (const auto& c : calls) {
    EXPECT_EQ(c.image, std::filesystem::path("quarrionvm.EXE"));  // the name as given
    EXPECT_EQ(c.error, 0u);
    pids.push_back(c.pid);
  }
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<unsigned long>(inside.pid())), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<unsigned long>(nested.pid())), pids.end());

  const int status = inside.Reap();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  nested.Reap();
  EXPECT_TRUE(outside.Running());
  EXPECT_TRUE(other_name.Running());
}

TEST_F(SystemTest, DirectoryReachedThroughALinkStillMatches) {
  const std::filesystem::path real = home() / "real" / "2.0.0.0";
  Sleeper s(real, "QuarrionAssistant.exe");
  ASSERT_TRUE(WaitForImage(s));
  std::filesystem::create_directory_symlink(home() / "real", home() / "link");
  const std::wstring_view names[] = {L"QuarrionAssistant.exe"};
  EXPECT_EQ(base::system::KillProcess(names, home() / "link" / "2.0.0.0", 5000, 0, Recorder()), 1u);
  s.Reap();
  // A directory that merely shares a prefix does not match.
  Sleeper again(real, "QuarrionAssistant.exe");
  ASSERT_TRUE(WaitForImage(again));
  EXPECT_EQ(base::system::KillProcess(names, home() / "real" / "2.0.0", 5000, 0, Recorder()), 0u);
  EXPECT_TRUE(again.Running());
}

TEST_F(SystemTest, KillProcessWithoutDirectoryEndsEveryMatch) {
  // A name no other test uses: without a directory every such process goes.
  const std::string name = "QbKill" + std::to_string(::getpid()) + ".exe";
  Sleeper a(home() / "a", name);
  Sleeper b(home() / "b", name);
  ASSERT_TRUE(WaitForImage(a) && WaitForImage(b));
  const std::wstring wide = base::gstring::FromUtf8(name);
  const std::wstring_view names[] = {L"nothing-like-this.exe", wide};
  EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 2u);
  EXPECT_EQ(calls.size(), 2u);

  // No match: nothing ended, nothing reported; no names at all is harmless.
  calls.clear();
  EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 0u);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(base::system::KillProcess({}, {}, 5000, 0, Recorder()), 0u);
  EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, nullptr), 0u);
}

// Within a snapshot's scope every look-up answers from the list taken when
// it was made: a process started since is not seen, one that ended since
// (a zombie here, as a fresh list would leave out) is neither ended nor
// reported. Outside it the list is read afresh.
TEST_F(SystemTest, ASnapshotServesTheLookUpsOfItsScope) {
  const std::string name = "QbSnap" + std::to_string(::getpid()) + ".exe";
  const std::wstring wide = base::gstring::FromUtf8(name);
  const std::wstring_view names[] = {wide};
  Sleeper running(home() / "a", name);
  Sleeper ending(home() / "b", name);
  ASSERT_TRUE(WaitForImage(running) && WaitForImage(ending));
  std::optional<Sleeper> later;
  {
    const base::process::ScopedProcessSnapshot snapshot;
    later.emplace(home() / "c", name);
    ASSERT_TRUE(WaitForImage(*later));
    // Ended but not reaped: its pid still opens.
    ::kill(ending.pid(), SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(ending.pid()), &info, WEXITED | WNOWAIT), 0);

    EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 1u);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].pid, static_cast<unsigned long>(running.pid()));
    EXPECT_TRUE(later->Running());
    int listed = 0;
    base::process::EnumProcessesNamed(names, [&](const PROCESSENTRY32W&, std::wstring_view) {
      ++listed;
      return true;
    });
    EXPECT_EQ(listed, 0);  // the one ended by the kill is gone from the scope's answers too
  }
  calls.clear();
  EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 1u);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].pid, static_cast<unsigned long>(later->pid()));
}

// Runs in a copy of this program under a name of its own, so that asking to
// kill "ourselves" cannot reach other instances of the test running beside.
TEST_F(SystemTest, KillProcessNeverEndsTheCaller) {
  if (std::getenv("QB_KILL_SELF") != nullptr) {
    const std::wstring self = base::process::GetCurrentExeName();
    const std::wstring_view names[] = {self};
    EXPECT_EQ(base::system::KillProcess(names, {}, 100, 0, Recorder()), 0u);
    EXPECT_TRUE(calls.empty());
    return;
  }
  const std::filesystem::path copy = home() / ("QbSelf" + std::to_string(::getpid()) + ".exe");
  std::filesystem::copy_file(base::process::GetCurrentExeFullPath(), copy);
  std::string exe = copy.string();
  std::string filter = "--gtest_filter=SystemTest.KillProcessNeverEndsTheCaller";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  std::vector<std::string> env_text = {"QB_KILL_SELF=1"};
  std::vector<char*> env = {env_text[0].data()};
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, env.data()), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

TEST_F(SystemTest, WaitForProcessUntilExit) {
  EXPECT_TRUE(base::process::WaitForProcessUntilExit(0, platform::kInfinite));
  // A pid that no longer exists returns at once even without a time limit.
  const pid_t gone = ::fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  EXPECT_TRUE(base::process::WaitForProcessUntilExit(static_cast<DWORD>(gone), platform::kInfinite));
  // Waiting for ourselves could never end.
  EXPECT_FALSE(base::process::WaitForProcessUntilExit(::getpid(), platform::kInfinite));

  Sleeper s(home() / "w", "QuarrionLauncher.exe");
  ASSERT_TRUE(WaitForImage(s));
  EXPECT_FALSE(base::process::WaitForProcessUntilExit(static_cast<DWORD>(s.pid()), 0));
  ::kill(s.pid(), SIGTERM);
  EXPECT_TRUE(base::process::WaitForProcessUntilExit(static_cast<DWORD>(s.pid()), platform::kInfinite));
}

TEST_F(SystemTest, EnumProcessesListsUsAndStopsOnRequest) {
  bool found = false;
  EXPECT_TRUE(base::process::EnumProcesses([&](const PROCESSENTRY32W& e) {
    if (e.th32ProcessID == static_cast<DWORD>(::getpid())) {
      found = true;
      EXPECT_EQ(std::wstring(e.szExeFile), base::process::GetCurrentExeName());
      EXPECT_EQ(e.th32ParentProcessID, static_cast<DWORD>(::getppid()));
    }
    return true;
  }));
  EXPECT_TRUE(found);
  int seen = 0;
  EXPECT_TRUE(base::process::EnumProcesses([&](const PROCESSENTRY32W&) { return ++seen < 2; }));
  EXPECT_EQ(seen, 2);
  EXPECT_FALSE(base::process::EnumProcesses(nullptr));
}

TEST(AppUtilsTest, ApplicationNameIsTheExecutableWithoutExtension) {
  EXPECT_EQ(base::apputils::GetCurrentApplicationName(), L"test_base");
  EXPECT_EQ(base::process::GetCurrentExeName(), L"test_base");
  EXPECT_EQ(base::gstring::ToPath(base::process::GetCurrentExePath()), testenv::BinDir());
  EXPECT_FALSE(base::system::IsWin7());
  EXPECT_TRUE(base::system::IsWin10OrAbove());
}

bool ThreadHasKill() {
  __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct d[_LINUX_CAPABILITY_U32S_3] = {};
  return ::syscall(SYS_capget, &h, d) == 0 && (d[CAP_KILL / 32].effective & (1u << (CAP_KILL % 32)));
}

void SetKill(bool effective, bool permitted) {
  __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct d[_LINUX_CAPABILITY_U32S_3] = {};
  ::syscall(SYS_capget, &h, d);
  const unsigned bit = 1u << (CAP_KILL % 32);
  auto& w = d[CAP_KILL / 32];
  w.effective = effective ? (w.effective | bit) : (w.effective & ~bit);
  w.permitted = permitted ? (w.permitted | bit) : (w.permitted & ~bit);
  ::syscall(SYS_capset, &h, d);
}

// Runs `body` in a forked child (capabilities changed there stay there) and
// returns its exit code.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(PrivilegeTest, DebugPrivilegeIsTheKillCapability) {
  using base::system::PrivilegeToken;
  EXPECT_FALSE(PrivilegeToken::AdjustPrivilegeToken(true, L"SeShutdownPrivilege"));
  EXPECT_FALSE(PrivilegeToken::AdjustPrivilegeToken(true, nullptr));
  if (!ThreadHasKill()) GTEST_SKIP() << "needs CAP_KILL to move it around";

  // Held but not effective: enable raises it, disable lowers it again.
  EXPECT_EQ(InChild([] {
              SetKill(false, true);
              if (ThreadHasKill()) return 1;
              if (!PrivilegeToken::AdjustPrivilegeToken(true, L"SeDebugPrivilege")) return 2;
              if (!ThreadHasKill()) return 3;
              if (!PrivilegeToken::AdjustPrivilegeToken(false, L"SeDebugPrivilege")) return 4;
              return ThreadHasKill() ? 5 : 0;
            }),
            0);
  // Effective from the start: the pair leaves it as it was.
  EXPECT_EQ(InChild([] {
              if (!PrivilegeToken::AdjustPrivilegeToken(true, L"SeDebugPrivilege")) return 1;
              if (!PrivilegeToken::AdjustPrivilegeToken(false, L"SeDebugPrivilege")) return 2;
              return ThreadHasKill() ? 0 : 3;
            }),
            0);
  // Not held at all: enabling fails.
  EXPECT_EQ(InChild([] {
              SetKill(false, false);
              return PrivilegeToken::AdjustPrivilegeToken(true, L"SeDebugPrivilege") ? 1 : 0;
            }),
            0);
}

TEST(PrivilegeTest, ScopedPrivilegeLowersOnlyWhatItRaised) {
  using base::system::ScopedPrivilege;
  EXPECT_FALSE(ScopedPrivilege(L"SeShutdownPrivilege").enabled());
  EXPECT_FALSE(ScopedPrivilege(nullptr).enabled());
  if (!ThreadHasKill()) GTEST_SKIP() << "needs CAP_KILL to move it around";

  // Nested: the inner scope finds it on and leaves it on for the outer one.
  EXPECT_EQ(InChild([] {
              SetKill(false, true);
              {
                ScopedPrivilege outer(L"SeDebugPrivilege");
                if (!outer.enabled() || !ThreadHasKill()) return 1;
                {
                  ScopedPrivilege inner(L"SeDebugPrivilege");
                  if (!inner.enabled()) return 2;
                }
                if (!ThreadHasKill()) return 3;
              }
              return ThreadHasKill() ? 4 : 0;
            }),
            0);
  // Held from the start: a scope leaves it held.
  EXPECT_EQ(InChild([] {
              { ScopedPrivilege scope(L"SeDebugPrivilege"); }
              return ThreadHasKill() ? 0 : 1;
            }),
            0);
  // Not permitted: not enabled, and nothing to undo.
  EXPECT_EQ(InChild([] {
              SetKill(false, false);
              ScopedPrivilege scope(L"SeDebugPrivilege");
              return scope.enabled() ? 1 : 0;
            }),
            0);
}

}  // namespace

// A product home stands for a machine: a program started under another home
// is neither listed nor ended, whatever its name.
TEST_F(SystemTest, ProcessesOfAnotherProductHomeAreOutOfReach) {
  const std::string name = "QbOther" + std::to_string(::getpid()) + ".exe";
  std::optional<Sleeper> started_elsewhere;
  {
    testenv::ScopedEnv elsewhere("QUARRION_HOME", (home() / "elsewhere").string());
    started_elsewhere.emplace(home() / "o", name);
  }
  Sleeper& other = *started_elsewhere;
  Sleeper mine(home() / "m", name);
  ASSERT_TRUE(WaitForImage(other) && WaitForImage(mine));

  EXPECT_FALSE(base::process::IsOnThisMachine(static_cast<DWORD>(other.pid())));
  EXPECT_TRUE(base::process::IsOnThisMachine(static_cast<DWORD>(mine.pid())));
  std::vector<DWORD> listed;
  const std::wstring wide = base::gstring::FromUtf8(name);
  base::process::EnumProcesses([&](const PROCESSENTRY32W& e) {
    if (wide == e.szExeFile) listed.push_back(e.th32ProcessID);
    return true;
  });
  EXPECT_EQ(listed, std::vector<DWORD>{static_cast<DWORD>(mine.pid())});

  const std::wstring_view names[] = {wide};
  EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 1u);
  EXPECT_FALSE(mine.Running() && (platform::SleepMs(200), mine.Running()));
  EXPECT_TRUE(other.Running());
}

// A home is a directory, not a spelling: a program started with the same home
// written with a trailing separator, as a path relative to its own current
// directory, or through a link is on this machine (it was once taken for
// another machine's: never waited for or ended, and its version folder went
// from under it). A similar-looking home of its own is still another machine.
TEST_F(SystemTest, AHomeSpelledDifferentlyIsStillThisMachine) {
  const std::string name = "QbSpelled" + std::to_string(::getpid()) + ".exe";
  std::filesystem::create_directories(home() / "links");
  std::filesystem::create_directory_symlink(home(), home() / "links" / "home");
  struct Case {
    std::string label;
    std::string quarrion_home;
    std::filesystem::path cwd;
    bool ours;
  };
  const std::vector<Case> cases = {
      {"trailing separator", home().string() + "/", {}, true},
      {"dot segments", (home() / "sub" / ".." / ".").string(), {}, true},
      {"relative to its directory", home().filename().string(), home().parent_path(), true},
      {"relative, from inside", ".", home(), true},
      {"through a link", (home() / "links" / "home").string(), {}, true},
      {"a home below ours", (home() / "sub").string() + "/", {}, false},
      {"relative, elsewhere", home().filename().string(), home(), false},
  };
  std::vector<std::unique_ptr<Sleeper>> sleepers;
  for (const Case& c : cases) {
    testenv::ScopedEnv env("QUARRION_HOME", c.quarrion_home);
    sleepers.push_back(std::make_unique<Sleeper>(
        home() / ("bin" + std::to_string(sleepers.size())), name, c.cwd));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ASSERT_TRUE(WaitForImage(*sleepers[i])) << cases[i].label;
    EXPECT_EQ(base::process::IsOnThisMachine(static_cast<DWORD>(sleepers[i]->pid())), cases[i].ours)
        << cases[i].label;
  }
  // Our own home written relative to our current directory is the same home.
  testenv::ScopedEnv relative("QUARRION_HOME",
                              std::filesystem::relative(home()).string());
  EXPECT_TRUE(base::process::IsOnThisMachine(static_cast<DWORD>(sleepers[0]->pid())));
  EXPECT_FALSE(base::process::IsOnThisMachine(static_cast<DWORD>(sleepers.back()->pid())));
}
