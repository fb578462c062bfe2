#include "platform/process.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/child/test_child.h"
#include "platform/launch.h"
#include "support/note_capture.h"
#include "support/test_env.h"

namespace {

using platform_test::ChildPath;
using platform_test::Finish;
using platform_test::ScopedEnv;
using platform_test::StartSleeper;

class ProcessTest : public testenv::ProductTest {};

#ifdef _WIN32
constexpr wchar_t kOwnImageName[] = L"test_platform.exe";
#else
constexpr wchar_t kOwnImageName[] = L"test_platform";
#endif

// The code-and-out-parameter view of the Result calls, so the cases below
// read one way.
platform::ProcessHandle Open(platform::Pid pid, std::uint32_t access,
                             platform::ErrorCode* error = nullptr) {
  auto opened = platform::OpenProcess(pid, access);
  if (error) *error = opened.error();
  return opened ? std::move(opened).value() : platform::ProcessHandle();
}

platform::ErrorCode ImageOf(platform::RawProcess process, std::filesystem::path* image) {
  auto read = platform::QueryImagePath(process);
  if (read) *image = *read;
  return read.error();
}

platform::ErrorCode ExitCodeOf(platform::RawProcess process, std::uint32_t* code) {
  auto read = platform::GetExitCode(process);
  if (read) *code = *read;
  return read.error();
}

platform::ErrorCode EnvOf(platform::Pid pid, std::string_view name,
                          std::optional<std::string>* value, bool* empty = nullptr) {
  auto read = platform::ReadProcessEnvironmentVariables(pid, {name});
  *value = read ? read->values.front() : std::nullopt;
  if (empty) *empty = read ? read->empty : false;
  return read.error();
}

std::vector<platform::ProcessEntry> Snapshot() {
  std::vector<platform::ProcessEntry> entries;
  EXPECT_EQ(platform::EnumerateProcesses([&](const platform::ProcessEntry& entry) {
              entries.push_back(entry);
              return true;
            }),
            platform::kErrorSuccess);
  return entries;
}

const platform::ProcessEntry* Find(const std::vector<platform::ProcessEntry>& entries,
                                   platform::Pid pid) {
  for (const auto& entry : entries) {
    if (entry.pid == pid) return &entry;
  }
  return nullptr;
}

#ifndef _WIN32
char ProcState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto paren = text.rfind(')');
  return (paren == std::string::npos || paren + 2 >= text.size()) ? '\0' : text[paren + 2];
}
#endif

// A copy of the child under a name of our choosing, as product programs are
// found by their image names.
std::filesystem::path CopyChild(const std::filesystem::path& dir, const std::string& name) {
  const std::filesystem::path target = dir / name;
  std::filesystem::copy_file(ChildPath(), target);
  std::filesystem::permissions(target, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
  return target;
}

TEST_F(ProcessTest, ChildIsFoundByImageNameWaitedForAndTerminatedWithTheGivenCode) {
  // Blanks and parentheses in the name: the kernel's stat line must still parse.
  const auto file = CopyChild(home(), "Odd) (name.exe");
  platform::ProcessHandle child = StartSleeper(file);
  ASSERT_TRUE(child);
  const platform::Pid pid = platform::GetProcessId(child.get());

  const auto entries = Snapshot();
  const platform::ProcessEntry* entry = Find(entries, pid);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->exe_file, L"Odd) (name.exe");
  EXPECT_EQ(entry->parent_pid, platform::CurrentProcessId());
  // Ourselves too, by our own image name.
  const platform::ProcessEntry* self = Find(entries, platform::CurrentProcessId());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->exe_file, kOwnImageName);

  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(child.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, platform::kStillActive);
  EXPECT_EQ(platform::WaitForProcess(child.get(), 50), platform::kWaitTimeout);

  std::filesystem::path image;
  ASSERT_EQ(ImageOf(child.get(), &image), platform::kErrorSuccess);
  EXPECT_EQ(image, file);

  ASSERT_EQ(platform::TerminateProcess(child.get(), 3), platform::kErrorSuccess);
  ASSERT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
  ASSERT_EQ(ExitCodeOf(child.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(Find(Snapshot(), pid), nullptr);
  // An ended process can no longer be terminated or asked for its image.
  EXPECT_EQ(platform::TerminateProcess(child.get(), 4), platform::kErrorAccessDenied);
  EXPECT_EQ(ImageOf(child.get(), &image), platform::kErrorInvalidParameter);
  EXPECT_EQ(ExitCodeOf(child.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 3u);
}

TEST_F(ProcessTest, OwnChildExitCodeIsSharedByEveryHandleAndItsPidIsGoneAfterward) {
  ScopedEnv exit_code("PLATFORM_CHILD_EXIT", "7");
  platform::LaunchRequest request;
  request.file = ChildPath();
  request.want_handle = true;
  platform::ProcessHandle first;
  ASSERT_EQ(platform::Launch(request, &first), platform::kErrorSuccess);
  const platform::Pid pid = platform::GetProcessId(first.get());
  // Opened by pid while it runs or lingers unreaped: still the same child.
  platform::ProcessHandle second =
      Open(pid, platform::kSynchronize | platform::kProcessQueryInformation);
  ASSERT_TRUE(second);

  ASSERT_EQ(platform::WaitForProcess(first.get(), 20000), platform::kWaitObject0);
  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(first.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 7u);
  first.reset();
  ASSERT_EQ(platform::WaitForProcess(second.get(), 20000), platform::kWaitObject0);
  ASSERT_EQ(ExitCodeOf(second.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 7u);
  second.reset();

  // Reaped: the pid names no process of ours any more.
  platform::ErrorCode error = 0;
  platform::ProcessHandle again = Open(pid, platform::kSynchronize, &error);
  if (again) {
#ifdef _WIN32
    // There an ended process stays openable for a moment while the system
    // lets go of it; then it reports its end.
    if (platform::WaitForProcess(again.get(), 0) == platform::kWaitObject0) return;
#endif
    // Only if the system reused the pid already; then it is someone else.
    EXPECT_EQ(platform::WaitForProcess(again.get(), 0), platform::kWaitTimeout);
  } else {
    EXPECT_EQ(error, platform::kErrorInvalidParameter);
  }
}

#ifndef _WIN32
TEST_F(ProcessTest, ChildKilledByASignalWeDidNotSendReportsShellStyleCode) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  // Still our unreaped child, so its pid is safe to signal directly.
  ASSERT_EQ(::kill(static_cast<pid_t>(platform::GetProcessId(child.get())), SIGTERM), 0);
  ASSERT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(child.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 128u + SIGTERM);
}
#endif

#ifndef _WIN32
TEST_F(ProcessTest, ChildWhoseHandleWasClosedIsStillReapedWhenItEnds) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  const pid_t pid = static_cast<pid_t>(platform::GetProcessId(child.get()));
  child.reset();
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  // No handle is left to notice the end; it must not stay our zombie.
  const std::uint64_t deadline = platform::TickCount64() + 20000;
  while (ProcState(pid) != '\0' && platform::TickCount64() < deadline) platform::SleepMs(10);
  EXPECT_EQ(ProcState(pid), '\0');
}
#endif

#ifndef _WIN32
TEST_F(ProcessTest, ProcessThatIsNotOurChildReportsZeroAfterItEnds) {
  const auto pid_file = home() / "pid";
  {
    ScopedEnv out("PLATFORM_CHILD_PID_OUT", pid_file.string());
    ScopedEnv sleep("PLATFORM_CHILD_SLEEP_MS", "forever");
    platform::LaunchRequest request;
    request.file = ChildPath();
    ASSERT_EQ(platform::Launch(request), platform::kErrorSuccess);  // detached
  }
  ASSERT_TRUE(platform_test::WaitForFile(pid_file));
  const platform::Pid pid =
      static_cast<platform::Pid>(std::stoul(testenv::ReadFile(pid_file)));
  platform::ProcessHandle other = Open(pid, platform::kProcessAllAccess);
  ASSERT_TRUE(other);
  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(other.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, platform::kStillActive);
  // Ended from outside, not by us: the OS keeps its code from us.
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  ASSERT_EQ(platform::WaitForProcess(other.get(), 20000), platform::kWaitObject0);
  ASSERT_EQ(ExitCodeOf(other.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 0u);
}
#endif

#ifndef _WIN32
TEST_F(ProcessTest, ZombiesAreNotListed) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(0);
  const std::uint64_t deadline = platform::TickCount64() + 20000;
  while (ProcState(pid) != 'Z' && platform::TickCount64() < deadline) platform::SleepMs(5);
  ASSERT_EQ(ProcState(pid), 'Z');
  EXPECT_EQ(Find(Snapshot(), static_cast<platform::Pid>(pid)), nullptr);
  ::waitpid(pid, nullptr, 0);
}
#endif

#ifndef _WIN32
TEST_F(ProcessTest, NoSuchProcessIsInvalidParameter) {
  // A pid beyond anything in use.
  std::ifstream in("/proc/sys/kernel/pid_max");
  platform::Pid pid_max = 0;
  in >> pid_max;
  ASSERT_GT(pid_max, 1u);
  platform::Pid free_pid = pid_max - 1;
  while (std::filesystem::exists("/proc/" + std::to_string(free_pid))) --free_pid;

  // A thread is not a process either.
  std::promise<platform::Pid> tid;
  std::promise<void> done;
  std::thread thread([&] {
    tid.set_value(static_cast<platform::Pid>(::syscall(SYS_gettid)));
    done.get_future().wait();
  });
  const platform::Pid thread_id = tid.get_future().get();

  // Nor is a kernel thread (kthreadd is pid 2 wherever /proc shows it).
  std::vector<platform::Pid> pids = {free_pid, platform::Pid{0}, thread_id};
  if (testenv::ReadFile("/proc/2/stat").find("(kthreadd)") != std::string::npos) pids.push_back(2);

  for (platform::Pid pid : pids) {
    platform::ErrorCode error = 0;
    platform::ProcessHandle handle = Open(pid, platform::kProcessAllAccess, &error);
    EXPECT_FALSE(handle) << pid;
    EXPECT_EQ(error, platform::kErrorInvalidParameter) << pid;
  }
  done.set_value();
  thread.join();
}
#endif

#ifndef _WIN32
// Damaged entries of the process list: skipped, told once, never a crash.
TEST_F(ProcessTest, UnreadableProcEntriesAreSkippedAndTold) {
  namespace fs = std::filesystem;
  const fs::path root = home() / "proc";
  auto entry = [&](const std::string& pid, const std::string& stat) {
    fs::create_directories(root / pid);
    std::ofstream(root / pid / "stat") << stat;
    return root / pid;
  };
  // "pid (comm) state ppid pgrp session tty tpgid flags ..."
  fs::create_symlink("/opt/q/Good Name.exe", entry("100", "100 (Good Name.e) S 1 100 100 0 -1 4194560 0 0") / "exe");
  fs::create_directories(root / "101" / "stat");          // not a file at all
  entry("102", "garbage without the command's parentheses");
  fs::create_directories(root / "103");                   // ended while listed: no stat any more
  entry("104", "104 (kworker/0:1) I 2 0 0 0 -1 69238880 0 0");     // kernel thread
  entry("105", "105 (gone) Z 1 105 105 0 -1 4194560 0 0");          // zombie
  std::ofstream(entry("106", "106 (x) S 1 106 106 0 -1 4194560 0 0") / "cmdline")
      << std::string("/usr/bin/FromArgv.exe\0--flag\0", 29);        // no readable image link
  entry("abc", "1 (x) S 1 1 1 0 -1 0 0 0");
  entry("0", "0 (x) S 1 1 1 0 -1 0 0 0");

  testenv::NoteCapture capture;
  std::vector<platform::ProcessEntry> listed;
  for (int pass = 0; pass < 2; ++pass) {
    listed.clear();
    ASSERT_EQ(platform::EnumerateProcessesIn(root, [&](const platform::ProcessEntry& e) {
                listed.push_back(e);
                return true;
              }),
              platform::kErrorSuccess);
  }
  std::sort(listed.begin(), listed.end(),
            [](const auto& a, const auto& b) { return a.pid < b.pid; });
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].pid, 100u);
  EXPECT_EQ(listed[0].parent_pid, 1u);
  EXPECT_EQ(listed[0].exe_file, L"Good Name.exe");
  EXPECT_EQ(listed[1].pid, 106u);
  EXPECT_EQ(listed[1].exe_file, L"FromArgv.exe");

  // One note for both passes; the entry that merely ended is not in it.
  auto notes = capture.notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].rfind("process list: 2 entries of " + root.string() +
                               " could not be read and were skipped (first: ",
                           0),
            0u)
      << notes[0];

  // A list that cannot be read at all is an error value, and told.
  std::size_t visits = 0;
  EXPECT_EQ(platform::EnumerateProcessesIn(home() / "no-proc",
                                           [&](const platform::ProcessEntry&) { return ++visits; }),
            platform::kErrorFileNotFound);
  EXPECT_EQ(visits, 0u);
  notes = capture.notes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1], "process list: " + (home() / "no-proc").string() +
                          " cannot be read (No such file or directory): no process can be found");
}
#endif

#ifndef _WIN32
TEST_F(ProcessTest, ProcessKeepsItsNameWhenItsFileIsReplaced) {
  // Updates replace program files under running processes.
  const auto file = CopyChild(home(), "Replaced.exe");
  platform::ProcessHandle child = StartSleeper(file);
  ASSERT_TRUE(child);
  std::filesystem::remove(file);

  const platform::ProcessEntry* entry = nullptr;
  const auto entries = Snapshot();
  entry = Find(entries, platform::GetProcessId(child.get()));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->exe_file, L"Replaced.exe");
  std::filesystem::path image;
  ASSERT_EQ(ImageOf(child.get(), &image), platform::kErrorSuccess);
  EXPECT_EQ(image, file);
  Finish(child);
}
#endif

TEST_F(ProcessTest, MissingRightsAreAccessDenied) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  const platform::Pid pid = platform::GetProcessId(child.get());

  platform::ProcessHandle sync_only = Open(pid, platform::kSynchronize);
  ASSERT_TRUE(sync_only);
  std::filesystem::path image;
  std::uint32_t code = 0;
  EXPECT_EQ(platform::TerminateProcess(sync_only.get(), 1), platform::kErrorAccessDenied);
  EXPECT_EQ(ImageOf(sync_only.get(), &image), platform::kErrorAccessDenied);
  EXPECT_EQ(ExitCodeOf(sync_only.get(), &code), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::WaitForProcess(sync_only.get(), 0), platform::kWaitTimeout);

  platform::ProcessHandle terminate_only = Open(pid, platform::kProcessTerminate);
  ASSERT_TRUE(terminate_only);
  platform::ErrorCode error = 0;
  EXPECT_EQ(platform::WaitForProcess(terminate_only.get(), 0, &error), platform::kWaitFailed);
  EXPECT_EQ(error, platform::kErrorAccessDenied);

  platform::ProcessHandle limited =
      Open(pid, platform::kProcessQueryLimitedInformation);
  ASSERT_TRUE(limited);
  EXPECT_EQ(ImageOf(limited.get(), &image), platform::kErrorSuccess);
  EXPECT_EQ(image, ChildPath());

  // The denied calls did nothing: it still runs, and the handle that may
  // terminate it does so.
  EXPECT_EQ(platform::WaitForProcess(child.get(), 0), platform::kWaitTimeout);
  EXPECT_EQ(platform::TerminateProcess(terminate_only.get(), 5), platform::kErrorSuccess);
  ASSERT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
  ASSERT_EQ(ExitCodeOf(child.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 5u);
}

struct TerminateCall {
  platform::RawProcess process = nullptr;
  std::uint32_t exit_code = 0;
  int count = 0;
};
TerminateCall g_call;

platform::ErrorCode RecordingTerminate(platform::RawProcess process, std::uint32_t exit_code) {
  g_call.process = process;
  g_call.exit_code = exit_code;
  ++g_call.count;
  return 1234;
}

TEST_F(ProcessTest, TerminateGoesThroughTheReplaceableFunction) {
  platform::ProcessHandle child = StartSleeper();
  ASSERT_TRUE(child);
  g_call = {};

  platform::TerminateFunction previous = platform::ExchangeTerminateFunction(&RecordingTerminate);
  EXPECT_EQ(previous, &platform::RealTerminateProcess);
  EXPECT_EQ(platform::TerminateProcess(child.get(), 77), 1234u);
  EXPECT_EQ(g_call.count, 1);
  EXPECT_EQ(g_call.process, child.get());
  EXPECT_EQ(g_call.exit_code, 77u);
  EXPECT_EQ(platform::WaitForProcess(child.get(), 0), platform::kWaitTimeout);

  // Null restores the real function and hands back the replacement.
  EXPECT_EQ(platform::ExchangeTerminateFunction(nullptr), &RecordingTerminate);
  EXPECT_EQ(platform::TerminateProcess(child.get(), 77), platform::kErrorSuccess);
  EXPECT_EQ(g_call.count, 1);
  ASSERT_EQ(platform::WaitForProcess(child.get(), 20000), platform::kWaitObject0);
  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(child.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, 77u);
}

#ifndef _WIN32
TEST_F(ProcessTest, UnprivilegedUserCanOpenButNotTerminateARootProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  platform::ProcessHandle target = StartSleeper();
  ASSERT_TRUE(target);
  const platform::Pid pid = platform::GetProcessId(target.get());

  platform::ProcessHandle checker;
  {
    ScopedEnv who("PLATFORM_CHILD_AS_NOBODY", std::to_string(pid));
    // The image link of a root process is unreadable for that user, so the
    // name comes from the command line.
    ScopedEnv name("PLATFORM_CHILD_AS_NOBODY_NAME", ChildPath().filename().string());
    platform::LaunchRequest request;
    request.file = ChildPath();
    request.want_handle = true;
    ASSERT_EQ(platform::Launch(request, &checker), platform::kErrorSuccess);
  }
  ASSERT_EQ(platform::WaitForProcess(checker.get(), 20000), platform::kWaitObject0);
  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(checker.get(), &code), platform::kErrorSuccess);
  EXPECT_EQ(code, platform::kErrorAccessDenied);
  EXPECT_EQ(platform::WaitForProcess(target.get(), 0), platform::kWaitTimeout);
  Finish(target);
}
#endif

TEST_F(ProcessTest, CurrentProcessPseudoHandle) {
  platform::RawProcess self = platform::CurrentProcess();
  EXPECT_EQ(platform::GetProcessId(self), platform::CurrentProcessId());
#ifndef _WIN32
  EXPECT_EQ(platform::CurrentProcessId(), static_cast<platform::Pid>(::getpid()));
#endif
  std::filesystem::path image;
  ASSERT_EQ(ImageOf(self, &image), platform::kErrorSuccess);
  EXPECT_EQ(image, platform::CurrentExecutablePath());
  EXPECT_EQ(image.filename().wstring(), kOwnImageName);
  std::uint32_t code = 0;
  ASSERT_EQ(ExitCodeOf(self, &code), platform::kErrorSuccess);
  EXPECT_EQ(code, platform::kStillActive);
  platform::CloseProcess(self);  // a no-op, as for the Windows pseudo handle
  EXPECT_EXIT(platform::TerminateProcess(platform::CurrentProcess(), 9),
              ::testing::ExitedWithCode(9), "");
}

}  // namespace

TEST_F(ProcessTest, EnvironmentOfAnotherProcessIsReadAsItWasAtItsStart) {
  platform_test::ScopedEnv marker("PLATFORM_TEST_MARKER", std::string("a=b c"));
  platform::ProcessHandle child = platform_test::StartSleeper();
  ASSERT_TRUE(child.valid());
  const platform::Pid pid = platform::GetProcessId(child.get());

  std::optional<std::string> value;
  EXPECT_EQ(EnvOf(pid, "PLATFORM_TEST_MARKER", &value), 0u);
  EXPECT_EQ(value, std::optional<std::string>("a=b c"));
  // A name that is only a prefix of another variable is not that variable.
  EXPECT_EQ(EnvOf(pid, "PLATFORM_TEST_MARK", &value), 0u);
  EXPECT_FALSE(value.has_value());

  EXPECT_EQ(platform::TerminateProcess(child.get(), 1), 0u);
  EXPECT_EQ(platform::WaitForProcess(child.get(), 10000), platform::kWaitObject0);
  EXPECT_EQ(EnvOf(4194304, "PATH", &value), 87u);
}

#ifndef _WIN32
// posix_spawn returns while the child is still in its exec: its image is
// already the new program but its environment is not in place yet. That
// moment must not read as an empty environment (it once placed fresh
// children on another machine). A program started with no environment does
// read as empty.
TEST_F(ProcessTest, EnvironmentOfAChildCaughtInItsExecIsWaitedFor) {
  std::string exe = "/bin/sleep";
  std::string seconds = "30";
  char* argv[] = {exe.data(), seconds.data(), nullptr};
  auto spawn = [&](char* const* envp) {
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp), 0);
    return pid;
  };
  auto end = [](pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  };
  std::string marker = "QX_EXEC_MARK=present";
  char* with_marker[] = {marker.data(), nullptr};
  for (int i = 0; i < 40; ++i) {
    const pid_t pid = spawn(with_marker);
    ASSERT_GT(pid, 0);
    const auto read =
        platform::ReadProcessEnvironmentVariables(static_cast<platform::Pid>(pid), {"QX_EXEC_MARK"});
    ASSERT_TRUE(read) << read.error();
    EXPECT_FALSE(read->empty) << "round " << i;
    EXPECT_EQ(read->values.at(0), std::optional<std::string>("present")) << "round " << i;
    end(pid);
  }

  char* nothing[] = {nullptr};
  const pid_t bare = spawn(nothing);
  ASSERT_GT(bare, 0);
  std::optional<std::string> value;
  bool empty = false;
  // Give its exec time to finish: this answer must be final, not a wait.
  for (int i = 0; i < 200 && ProcState(bare) != 'S'; ++i) ::usleep(5000);
  EXPECT_EQ(EnvOf(static_cast<platform::Pid>(bare), "PATH",
                                                     &value, &empty),
            0u);
  EXPECT_TRUE(empty);
  EXPECT_FALSE(value.has_value());

  ::kill(bare, SIGKILL);
  for (int i = 0; i < 200 && ProcState(bare) != 'Z'; ++i) ::usleep(5000);
  ASSERT_EQ(ProcState(bare), 'Z');
  // A zombie has no environment left: it is gone, not in an exec.
  EXPECT_EQ(EnvOf(static_cast<platform::Pid>(bare), "PATH",
                                                     &value, &empty),
            87u);
  ::waitpid(bare, nullptr, 0);
}
#endif
