// Launching on Linux: fork and exec the file itself, never a shell.
//
// The child reports a failure before exec (working directory, dropping
// powers, exec itself) through a close-on-exec pipe, so the caller gets the
// real error and a successful exec closes the pipe. Between fork and exec the
// child makes async-signal-safe calls only: every string and array it needs
// is built beforehand.

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/launch.h"
#include "platform/posix_util_posix.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

namespace posix_internal {
ProcessHandle AdoptChild(Pid pid, ErrorCode* error);  // process_posix.cpp
}

namespace {

// Where the child failed; the parent maps errno by stage.
enum class Stage : int { kFork = 1, kDirectory, kRestrict, kExec };

struct ChildFailure {
  int stage;
  int err;
};

[[noreturn]] void ReportAndExit(int fd, Stage stage, int err) {
  ChildFailure failure{static_cast<int>(stage), err};
  // One write of 8 bytes into a pipe is atomic; nothing more can be done if it fails.
  ssize_t ignored = write(fd, &failure, sizeof failure);
  (void)ignored;
  _exit(127);
}

// No ambient capabilities, no inherited ones, nothing permitted or effective,
// and no way back through set-id files: the analog of a token without the
// Administrators group. The user stays the same.
int DropAdministrativePowers() {
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  // The bounding set needs CAP_SETPCAP; without it there is nothing to drop.
  for (int cap = 0; cap <= 63; ++cap) {
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;
  }
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return errno;
  }
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, data) != 0) return errno;
  return 0;
}

struct ExecPlan {
  const char* file = nullptr;
  char* const* argv = nullptr;
  const char* directory = nullptr;  // null: inherit
  bool restricted = false;
  const sigset_t* child_mask = nullptr;
  char* const* envp = nullptr;  // null: this process's environment
};

// Runs in the forked child: only async-signal-safe calls.
[[noreturn]] void ExecChild(const ExecPlan& plan, int report_fd) {
  // Handlers of the parent are meaningless here; start from defaults.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
  }
  sigprocmask(SIG_SETMASK, plan.child_mask, nullptr);

  if (plan.directory != nullptr && chdir(plan.directory) != 0) {
    ReportAndExit(report_fd, Stage::kDirectory, errno);
  }
  if (plan.restricted) {
    if (int err = DropAdministrativePowers(); err != 0) {
      ReportAndExit(report_fd, Stage::kRestrict, err);
    }
  }
  // Whatever this process opened without close-on-exec stays with it.
  syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
  execve(plan.file, plan.argv, plan.envp != nullptr ? plan.envp : environ);
  ReportAndExit(report_fd, Stage::kExec, errno);
}

ErrorCode FailureToError(const ChildFailure& failure) {
  switch (static_cast<Stage>(failure.stage)) {
    case Stage::kDirectory:
      return (failure.err == ENOENT || failure.err == ENOTDIR) ? kErrorDirectory
                                                               : FromErrno(failure.err);
    case Stage::kExec:
      if (failure.err == ENOENT || failure.err == ENOTDIR) return kErrorFileNotFound;
      if (failure.err == EACCES || failure.err == EPERM) return kErrorAccessDenied;
      return FromErrno(failure.err);
    default:
      return FromErrno(failure.err);
  }
}

// Reads the child's failure report; false at end of file (the exec happened).
bool ReadFailure(int fd, ChildFailure* failure) {
  std::size_t got = 0;
  auto* bytes = reinterpret_cast<char*>(failure);
  while (got < sizeof *failure) {
    const ssize_t n = posix::RetryAfterSignal([&] { return read(fd, bytes + got, sizeof *failure - got); });
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got == sizeof *failure;
}

void ReapBlocking(pid_t pid) {
  posix::RetryAfterSignal([&] { return waitpid(pid, nullptr, 0); });
}

class SignalBlock {
 public:
  SignalBlock() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace

ErrorCode Launch(const LaunchRequest& request, ProcessHandle* process) {
  if (request.file.empty()) return kErrorFileNotFound;
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(request.file, ec);
  if (ec) return kErrorFileNotFound;
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? kErrorFileNotFound : FromErrno(errno);
  }
  if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;

  // Everything the child needs, built before fork.
  std::vector<std::string> args;
  std::vector<std::wstring> split =
      SplitCommandLine(request.parameters, request.parameters_include_program);
  if (!request.parameters_include_program || split.empty()) args.push_back(file.native());
  for (const auto& arg : split) args.push_back(text::ToUtf8(arg));
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::string directory;
  if (!request.directory.empty()) directory = request.directory.native();

  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (request.environment) {
    environment = *request.environment;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }

  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  ExecPlan plan;
  plan.file = file.c_str();
  plan.argv = argv.data();
  plan.directory = directory.empty() ? nullptr : directory.c_str();
  plan.restricted = request.restricted;
  plan.child_mask = &empty_mask;
  plan.envp = request.environment ? envp.data() : nullptr;

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return FromErrno(errno);
  posix::ScopedFd report_read(pipe_fds[0]);
  posix::ScopedFd report_write(pipe_fds[1]);
  const bool want_handle = request.want_handle && process != nullptr;

  pid_t pid;
  {
    // No handler of ours may run in the child before it resets them.
    SignalBlock block;
    pid = fork();
    if (pid == 0) {
      // The child never returns from here: no destructor runs in it, so
      // what it must not hold is let go by hand.
      report_read.reset();
      if (want_handle) ExecChild(plan, pipe_fds[1]);
      // Detached: an intermediate child exits at once and the real child is
      // adopted by init, so it never stays our zombie.
      pid_t grandchild = _Fork();
      if (grandchild < 0) ReportAndExit(pipe_fds[1], Stage::kFork, errno);
      if (grandchild == 0) ExecChild(plan, pipe_fds[1]);
      _exit(0);
    }
  }
  const int fork_errno = errno;
  // Only the child may hold the write end, or the read below never sees the
  // end of file a successful exec gives.
  report_write.reset();
  if (pid < 0) return FromErrno(fork_errno);

  ChildFailure failure{};
  const bool failed = ReadFailure(report_read.get(), &failure);
  report_read.reset();

  if (!want_handle || failed) {
    // The intermediate child, or a child whose exec failed: both end at once.
    ReapBlocking(pid);
    return failed ? FailureToError(failure) : kErrorSuccess;
  }

  ErrorCode error = kErrorSuccess;
  ProcessHandle handle = posix_internal::AdoptChild(static_cast<Pid>(pid), &error);
  if (!handle) {
    // A failure must mean nothing runs: it is still our unreaped child, so
    // its pid is safe to signal.
    kill(pid, SIGKILL);
    ReapBlocking(pid);
    return error;
  }
  *process = std::move(handle);
  return kErrorSuccess;
}

}  // namespace platform
