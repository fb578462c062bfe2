// Bulk kills, the process list, waits, privileges and the OS gates of the
// base library, over real processes running under product-like image names.
#include "base/system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/gstring.h"
#include "base/process.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "support/child.h"
#include "support/scoped_env.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// A copy of this test program under another name. Not a second name of the
// same file: Wine lists a process by the name its file was first mapped
// under.
fs::path ProgramNamed(const fs::path& dir, const std::string& name) {
  fs::create_directories(dir);
  const fs::path path = dir / name;
  fs::copy_file(platform::CurrentExecutablePath(), path, fs::copy_options::overwrite_existing);
  return path;
}

TEST(ChildBehaviour, SleepUntilEnded) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "the sleeper of SystemTest";
  for (;;) platform::SleepMs(60000);
}

// A long sleeper under a product-like image name, ended with the object.
class Sleeper {
 public:
  Sleeper(const fs::path& dir, const std::string& name, testenv::ChildOptions options = {})
      : child_(testenv::StartBehaviourAs(ProgramNamed(dir, name), "SleepUntilEnded",
                                         std::move(options))) {}

  // Started: its image and environment are in place once the start returns.
  bool Started() const { return child_.valid(); }
  platform::Pid pid() const { return child_.pid(); }
  bool Running() { return child_.valid() && !child_.Wait(0); }
  std::optional<std::uint32_t> WaitForEnd() { return child_.Wait(30000); }
  void End() { platform::RealTerminateProcess(child_.get(), 1); }
  // Ends it and waits for the end while its pid still opens: the handle
  // keeps the ended process (on Linux an unreaped zombie).
  bool EndKeepingItsPid() {
    End();
#ifdef _WIN32
    return platform::WaitForProcess(child_.get(), 30000) == platform::kWaitObject0;
#else
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid()), &info, WEXITED | WNOWAIT) == 0;
#endif
  }

 private:
  testenv::Child child_;
};

// A link that goes before the home does: the home's removal would run
// through it under Wine, which cannot remove a link from the Windows side.
class ScopedLink {
 public:
  ScopedLink(const fs::path& target, const fs::path& link)
      : link_(link), made_(testenv::MakeLink(target, link, true)) {}
  ~ScopedLink() {
    if (made_) testenv::RemoveLink(link_);
  }
  bool made() const { return made_; }

 private:
  fs::path link_;
  bool made_;
};

testenv::ChildOptions WithHome(const std::string& quarrion_home, fs::path directory = {}) {
  testenv::ChildOptions options;
  options.environment = testenv::EnvironmentWith({"QUARRION_HOME=" + quarrion_home});
  options.directory = std::move(directory);
  return options;
}

// A name no other test uses: without a directory every such process goes.
std::string UniqueName(const std::string& prefix) {
  return prefix + std::to_string(platform::CurrentProcessId()) + ".exe";
}

struct Call {
  fs::path image;
  unsigned long pid;
  unsigned long error;
};

class SystemTest : public testenv::ProductTest {
 protected:
  std::vector<Call> calls;
  base::system::KillCallback Recorder() {
    return [this](const fs::path& image, unsigned long pid, unsigned long error) {
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
  const fs::path version = home() / "install" / "1.0.0.1";
  const fs::path other = home() / "install" / "1.0.0.2";
  Sleeper inside(version, "QuarrionVm.exe");
  Sleeper nested(version / "bin", "QuarrionVm.exe");
  Sleeper outside(other, "QuarrionVm.exe");
  Sleeper other_name(version, "QuarrionService.exe");
  ASSERT_TRUE(inside.Started() && nested.Started() && outside.Started() && other_name.Started());

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
    EXPECT_EQ(c.image, fs::path("quarrionvm.EXE"));  // the name as given
    EXPECT_EQ(c.error, 0u);
    pids.push_back(c.pid);
  }
  EXPECT_NE(std::find(pids.begin(), pids.end(), inside.pid()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), nested.pid()), pids.end());

  EXPECT_EQ(inside.WaitForEnd(), std::optional<std::uint32_t>(0xFFFFFFFFu));
  EXPECT_TRUE(nested.WaitForEnd());
  EXPECT_TRUE(outside.Running());
  EXPECT_TRUE(other_name.Running());
}

TEST_F(SystemTest, DirectoryReachedThroughALinkStillMatches) {
  const fs::path real = home() / "real" / "2.0.0.0";
  Sleeper s(real, "QuarrionAssistant.exe");
  ASSERT_TRUE(s.Started());
  const ScopedLink link(home() / "real", home() / "link");
  ASSERT_TRUE(link.made());
  const std::wstring_view names[] = {L"QuarrionAssistant.exe"};
  EXPECT_EQ(base::system::KillProcess(names, home() / "link" / "2.0.0.0", 5000, 0, Recorder()), 1u);
  EXPECT_TRUE(s.WaitForEnd());
  // A directory that merely shares a prefix does not match.
  Sleeper again(real, "QuarrionAssistant.exe");
  ASSERT_TRUE(again.Started());
  EXPECT_EQ(base::system::KillProcess(names, home() / "real" / "2.0.0", 5000, 0, Recorder()), 0u);
  EXPECT_TRUE(again.Running());
}

TEST_F(SystemTest, KillProcessWithoutDirectoryEndsEveryMatch) {
  const std::string name = UniqueName("QbKill");
  Sleeper a(home() / "a", name);
  Sleeper b(home() / "b", name);
  ASSERT_TRUE(a.Started() && b.Started());
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
// (its pid still opens, as a fresh list would leave it out) is neither ended
// nor reported. Outside it the list is read afresh.
TEST_F(SystemTest, ASnapshotServesTheLookUpsOfItsScope) {
  const std::string name = UniqueName("QbSnap");
  const std::wstring wide = base::gstring::FromUtf8(name);
  const std::wstring_view names[] = {wide};
  Sleeper running(home() / "a", name);
  Sleeper ending(home() / "b", name);
  ASSERT_TRUE(running.Started() && ending.Started());
  std::optional<Sleeper> later;
  {
    const base::process::ScopedProcessSnapshot snapshot;
    later.emplace(home() / "c", name);
    ASSERT_TRUE(later->Started());
    ASSERT_TRUE(ending.EndKeepingItsPid());

    EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 1u);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].pid, running.pid());
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
  EXPECT_EQ(calls[0].pid, later->pid());
}

TEST(ChildBehaviour, KillProcessesNamedLikeItself) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by SystemTest.KillProcessNeverEndsTheCaller";
  const std::wstring self = base::process::GetCurrentExeName();
  const std::wstring_view names[] = {self};
  int reported = 0;
  const unsigned ended = base::system::KillProcess(
      names, {}, 100, 0, [&](const fs::path&, unsigned long, unsigned long) { ++reported; });
  std::_Exit(ended == 0 && reported == 0 ? 0 : 1);
}

// Runs in this program under a name of its own, so that asking to kill
// "ourselves" cannot reach other instances of the test running beside.
TEST_F(SystemTest, KillProcessNeverEndsTheCaller) {
  testenv::Child child = testenv::StartBehaviourAs(ProgramNamed(home(), UniqueName("QbSelf")),
                                                   "KillProcessesNamedLikeItself");
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
}

TEST_F(SystemTest, WaitForProcessUntilExit) {
  EXPECT_TRUE(base::process::WaitForProcessUntilExit(0, platform::kInfinite));
  // A pid that no longer exists returns at once even without a time limit.
  platform::Pid gone_pid = 0;
  {
    Sleeper gone(home() / "g", "QuarrionLauncher.exe");
    ASSERT_TRUE(gone.Started());
    gone_pid = gone.pid();
  }
  EXPECT_TRUE(base::process::WaitForProcessUntilExit(gone_pid, platform::kInfinite));
  // Waiting for ourselves could never end.
  EXPECT_FALSE(base::process::WaitForProcessUntilExit(platform::CurrentProcessId(), platform::kInfinite));

  Sleeper s(home() / "w", "QuarrionLauncher.exe");
  ASSERT_TRUE(s.Started());
  EXPECT_FALSE(base::process::WaitForProcessUntilExit(s.pid(), 0));
  // Ended from another thread once this one waits. Wine reports no thread
  // states: there the end may come first, which the wait must answer alike.
  const auto end = [&s] { s.End(); };
  std::thread ender = testenv::UnderWine()
                          ? std::thread(end)
                          : testenv::WhenThreadBlocks(testenv::CurrentThreadId(), end);
  EXPECT_TRUE(base::process::WaitForProcessUntilExit(s.pid(), platform::kInfinite));
  ender.join();
}

TEST_F(SystemTest, EnumProcessesListsUsAndStopsOnRequest) {
  Sleeper child(home() / "e", "QuarrionLister.exe");
  ASSERT_TRUE(child.Started());
  const platform::Pid self = platform::CurrentProcessId();
  bool found_self = false;
  bool found_child = false;
  EXPECT_TRUE(base::process::EnumProcesses([&](const PROCESSENTRY32W& e) {
    if (e.th32ProcessID == self) {
      found_self = true;
      EXPECT_EQ(std::wstring(e.szExeFile), base::process::GetCurrentExeName());
    }
    if (e.th32ProcessID == child.pid()) {
      found_child = true;
      EXPECT_EQ(std::wstring(e.szExeFile), L"QuarrionLister.exe");
      EXPECT_EQ(e.th32ParentProcessID, self);
    }
    return true;
  }));
  EXPECT_TRUE(found_self);
  EXPECT_TRUE(found_child);
  int seen = 0;
  EXPECT_TRUE(base::process::EnumProcesses([&](const PROCESSENTRY32W&) { return ++seen < 2; }));
  EXPECT_EQ(seen, 2);
  EXPECT_FALSE(base::process::EnumProcesses(nullptr));
}

TEST(AppUtilsTest, ApplicationNameIsTheExecutableWithoutExtension) {
#ifdef _WIN32
  const std::wstring file_name = L"test_base.exe";
  // The version as the kernel publishes it to every process (the shared
  // user data page), past the call the gates use.
  const auto* shared = reinterpret_cast<const volatile ULONG*>(0x7FFE0000);
  const ULONG major = shared[0x26C / sizeof(ULONG)];
  const ULONG minor = shared[0x270 / sizeof(ULONG)];
  const bool win7 = major == 6 && minor == 1;
  const bool win10 = major >= 10;
#else
  const std::wstring file_name = L"test_base";
  const bool win7 = false;
  const bool win10 = true;
#endif
  EXPECT_EQ(base::apputils::GetCurrentApplicationName(), L"test_base");
  EXPECT_EQ(base::process::GetCurrentExeName(), file_name);
  EXPECT_EQ(base::gstring::ToPath(base::process::GetCurrentExePath()), testenv::BinDir());
  EXPECT_EQ(base::system::IsWin7(), win7);
  EXPECT_EQ(base::system::IsWin10OrAbove(), win10);
}

// --- privileges ---------------------------------------------------------------
// The debug privilege read and switched directly, past the code under test:
// on Windows in the process token, on Linux as CAP_KILL in the calling
// thread's sets (permitted: held at all; effective: on).

struct DebugPrivilegeState {
  bool held = false;
  bool enabled = false;
};
// What a case starts from: not held at all (it cannot be enabled again), held
// but off, or on.
enum class Debug { kRemoved, kOff, kOn };

#ifdef _WIN32
struct Token {
  HANDLE handle = nullptr;
  explicit Token(DWORD access) { ::OpenProcessToken(::GetCurrentProcess(), access, &handle); }
  ~Token() {
    if (handle != nullptr) ::CloseHandle(handle);
  }
};

LUID DebugLuid() {
  LUID luid{};
  ::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid);
  return luid;
}

DebugPrivilegeState ReadDebugPrivilege() {
  DebugPrivilegeState state;
  const Token token(TOKEN_QUERY);
  DWORD size = 0;
  ::GetTokenInformation(token.handle, TokenPrivileges, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.handle, TokenPrivileges, buffer.data(), size, &size)) {
    return state;
  }
  const LUID luid = DebugLuid();
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& l = privileges->Privileges[i].Luid;
    if (l.LowPart != luid.LowPart || l.HighPart != luid.HighPart) continue;
    state.held = true;
    state.enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  return state;
}

bool SetDebugPrivilege(Debug state) {
  const Token token(TOKEN_ADJUST_PRIVILEGES);
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Luid = DebugLuid();
  wanted.Privileges[0].Attributes = state == Debug::kOn        ? SE_PRIVILEGE_ENABLED
                                    : state == Debug::kRemoved ? SE_PRIVILEGE_REMOVED
                                                               : 0;
  return ::AdjustTokenPrivileges(token.handle, FALSE, &wanted, 0, nullptr, nullptr) &&
         ::GetLastError() == ERROR_SUCCESS;
}
#else
bool ReadCapabilities(__user_cap_data_struct (&d)[_LINUX_CAPABILITY_U32S_3]) {
  __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &h, d) == 0;
}

DebugPrivilegeState ReadDebugPrivilege() {
  __user_cap_data_struct d[_LINUX_CAPABILITY_U32S_3] = {};
  if (!ReadCapabilities(d)) return {};
  const unsigned bit = 1u << (CAP_KILL % 32);
  return {(d[CAP_KILL / 32].permitted & bit) != 0, (d[CAP_KILL / 32].effective & bit) != 0};
}

bool SetDebugPrivilege(Debug state) {
  __user_cap_data_struct d[_LINUX_CAPABILITY_U32S_3] = {};
  if (!ReadCapabilities(d)) return false;
  const unsigned bit = 1u << (CAP_KILL % 32);
  auto& w = d[CAP_KILL / 32];
  w.effective = state == Debug::kOn ? (w.effective | bit) : (w.effective & ~bit);
  if (state == Debug::kRemoved) w.permitted &= ~bit;
  __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &h, d) == 0;
}
#endif

bool DebugOn() { return ReadDebugPrivilege().enabled; }

using base::system::PrivilegeToken;
using base::system::ScopedPrivilege;
constexpr const wchar_t* kDebug = L"SeDebugPrivilege";

// Each case runs in a child of its own, so what it switches stays there;
// its body answers 0, or the step that went wrong.
struct PrivilegeCase {
  const char* name;
  int (*body)();
};

const PrivilegeCase kTokenCases[] = {
    {"held but off: enabling raises it, disabling lowers it again",
     [] {
       if (!SetDebugPrivilege(Debug::kOff) || DebugOn()) return 1;
       if (!PrivilegeToken::AdjustPrivilegeToken(true, kDebug)) return 2;
       if (!DebugOn()) return 3;
       if (!PrivilegeToken::AdjustPrivilegeToken(false, kDebug)) return 4;
       return DebugOn() ? 5 : 0;
     }},
    {"on from the start: the pair leaves it on",
     [] {
       if (!SetDebugPrivilege(Debug::kOn)) return 1;
       if (!PrivilegeToken::AdjustPrivilegeToken(true, kDebug)) return 2;
       if (!PrivilegeToken::AdjustPrivilegeToken(false, kDebug)) return 3;
       return DebugOn() ? 0 : 4;
     }},
    {"not held: enabling fails",
     [] {
       if (!SetDebugPrivilege(Debug::kRemoved)) return 1;
       return PrivilegeToken::AdjustPrivilegeToken(true, kDebug) ? 2 : 0;
     }},
};

const PrivilegeCase kScopeCases[] = {
    // Nested: the inner scope finds it on and leaves it on for the outer one.
    {"nested scopes over a held privilege",
     [] {
       if (!SetDebugPrivilege(Debug::kOff)) return 1;
       {
         ScopedPrivilege outer(kDebug);
         if (!outer.enabled() || !DebugOn()) return 2;
         {
           ScopedPrivilege inner(kDebug);
           if (!inner.enabled()) return 3;
         }
         if (!DebugOn()) return 4;
       }
       return DebugOn() ? 5 : 0;
     }},
    {"on from the start: a scope leaves it on",
     [] {
       if (!SetDebugPrivilege(Debug::kOn)) return 1;
       { ScopedPrivilege scope(kDebug); }
       return DebugOn() ? 0 : 2;
     }},
    {"not held: not enabled, nothing to undo",
     [] {
       if (!SetDebugPrivilege(Debug::kRemoved)) return 1;
       ScopedPrivilege scope(kDebug);
       return scope.enabled() ? 2 : 0;
     }},
};

constexpr char kPrivilegeCaseVariable[] = "QB_PRIVILEGE_CASE";

TEST(ChildBehaviour, PrivilegeCase) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by PrivilegeTest";
  const char* wanted = std::getenv(kPrivilegeCaseVariable);
  for (const auto* table : {&kTokenCases, &kScopeCases}) {
    for (const PrivilegeCase& c : *table) {
      if (wanted != nullptr && std::string(wanted) == c.name) std::_Exit(c.body());
    }
  }
  std::_Exit(99);
}

template <std::size_t N>
void RunPrivilegeCases(const PrivilegeCase (&cases)[N]) {
  if (!ReadDebugPrivilege().held) GTEST_SKIP() << "this process may not hold the debug privilege";
  for (const PrivilegeCase& c : cases) {
    SCOPED_TRACE(c.name);
    testenv::ChildOptions options;
    options.environment =
        testenv::EnvironmentWith({std::string(kPrivilegeCaseVariable) + "=" + c.name});
    testenv::Child child = testenv::StartBehaviour("PrivilegeCase", options);
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
  }
}

TEST(PrivilegeTest, AdjustPrivilegeTokenRaisesAndLowersTheDebugPrivilege) {
  EXPECT_FALSE(PrivilegeToken::AdjustPrivilegeToken(true, L"SeShutdownPrivilege"));
  EXPECT_FALSE(PrivilegeToken::AdjustPrivilegeToken(true, nullptr));
  RunPrivilegeCases(kTokenCases);
}

TEST(PrivilegeTest, ScopedPrivilegeLowersOnlyWhatItRaised) {
  EXPECT_FALSE(ScopedPrivilege(L"SeShutdownPrivilege").enabled());
  EXPECT_FALSE(ScopedPrivilege(nullptr).enabled());
  RunPrivilegeCases(kScopeCases);
}

// --- product homes --------------------------------------------------------------

// A product home stands for a machine: a program started under another home
// is neither listed nor ended, whatever its name.
TEST_F(SystemTest, ProcessesOfAnotherProductHomeAreOutOfReach) {
  const std::string name = UniqueName("QbOther");
  Sleeper other(home() / "o", name, WithHome((home() / "elsewhere").string()));
  Sleeper mine(home() / "m", name);
  ASSERT_TRUE(other.Started() && mine.Started());

  EXPECT_FALSE(base::process::IsOnThisMachine(other.pid()));
  EXPECT_TRUE(base::process::IsOnThisMachine(mine.pid()));
  std::vector<DWORD> listed;
  const std::wstring wide = base::gstring::FromUtf8(name);
  base::process::EnumProcesses([&](const PROCESSENTRY32W& e) {
    if (wide == e.szExeFile) listed.push_back(e.th32ProcessID);
    return true;
  });
  EXPECT_EQ(listed, std::vector<DWORD>{mine.pid()});

  const std::wstring_view names[] = {wide};
  EXPECT_EQ(base::system::KillProcess(names, {}, 5000, 0, Recorder()), 1u);
  EXPECT_TRUE(mine.WaitForEnd());
  EXPECT_TRUE(other.Running());
}

// A home is a directory, not a spelling: a program started with the same home
// written with a trailing separator, as a path relative to its own current
// directory, or through a link is on this machine (it was once taken for
// another machine's: never waited for or ended, and its version folder went
// from under it). A similar-looking home of its own is still another machine.
TEST_F(SystemTest, AHomeSpelledDifferentlyIsStillThisMachine) {
  const std::string name = UniqueName("QbSpelled");
  fs::create_directories(home() / "links");
  const ScopedLink link(home(), home() / "links" / "home");
  ASSERT_TRUE(link.made());
  std::string other_case = home().string();
  std::transform(other_case.begin(), other_case.end(), other_case.begin(),
                 [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; });
#ifdef _WIN32
  constexpr bool kNamesIgnoreCase = true;
  const std::string separator = "\\";
#else
  constexpr bool kNamesIgnoreCase = false;
  const std::string separator = "/";
#endif
  struct Case {
    std::string label;
    std::string quarrion_home;
    fs::path cwd;
    bool ours;
  };
  const std::vector<Case> cases = {
      {"trailing separator", home().string() + separator, {}, true},
      {"dot segments", (home() / "sub" / ".." / ".").string(), {}, true},
      {"relative to its directory", home().filename().string(), home().parent_path(), true},
      {"relative, from inside", ".", home(), true},
      {"through a link", (home() / "links" / "home").string(), {}, true},
      {"forward slashes", home().generic_string(), {}, true},
      {"letters in the other case", other_case, {}, kNamesIgnoreCase},
      {"a home below ours", (home() / "sub").string() + separator, {}, false},
      {"relative, elsewhere", home().filename().string(), home(), false},
  };
  std::vector<std::unique_ptr<Sleeper>> sleepers;
  for (const Case& c : cases) {
    sleepers.push_back(std::make_unique<Sleeper>(home() / ("bin" + std::to_string(sleepers.size())),
                                                 name, WithHome(c.quarrion_home, c.cwd)));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ASSERT_TRUE(sleepers[i]->Started()) << cases[i].label;
    EXPECT_EQ(base::process::IsOnThisMachine(sleepers[i]->pid()), cases[i].ours) << cases[i].label;
  }
  // Our own home written relative to our current directory is the same home
  // (on Windows only when both are on one drive: across drives there is no
  // relative spelling).
  const fs::path relative_home = fs::relative(home());
  if (!relative_home.empty()) {
    testenv::ScopedEnv relative("QUARRION_HOME", relative_home.string());
    EXPECT_TRUE(base::process::IsOnThisMachine(sleepers[0]->pid()));
    EXPECT_FALSE(base::process::IsOnThisMachine(sleepers.back()->pid()));
  }
}

#ifdef _WIN32
// --- the OS gates ---------------------------------------------------------------

TEST(ChildBehaviour, ReportWindowsGates) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by SystemTest.WindowsGatesFollowTheSystemsVersion";
  std::_Exit((base::system::IsWin7() ? 1 : 0) | (base::system::IsWin10OrAbove() ? 2 : 0));
}

// Wine reports the Windows version set for a program's image name: the
// gates follow what the system reports, not what this build assumes.
TEST_F(SystemTest, WindowsGatesFollowTheSystemsVersion) {
  if (!testenv::UnderWine()) GTEST_SKIP() << "only Wine reports another version to one program";
  namespace reg = platform::registry;
  const struct {
    const char* version;
    std::uint32_t gates;  // 1: IsWin7, 2: IsWin10OrAbove
  } cases[] = {{"win7", 1}, {"win81", 0}, {"win10", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    const std::string image = UniqueName(std::string("QbGates") + c.version);
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + base::gstring::FromUtf8(image);
    ASSERT_EQ(reg::WriteString(reg::Root::kCurrentUser, key, L"Version",
                               base::gstring::FromUtf8(c.version)),
              0u);
    testenv::Child child =
        testenv::StartBehaviourAs(ProgramNamed(home(), image), "ReportWindowsGates");
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(c.gates));
    reg::DeleteKey(reg::Root::kCurrentUser, key);
  }
}
#endif

}  // namespace
