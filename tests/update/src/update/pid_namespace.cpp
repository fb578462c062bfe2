// Runs this test program in a PID namespace of its own when the machine
// allows it. The restart ends product processes by image name across the
// whole machine, so other test programs running at the same time (with their
// own stand-in emulators and clients) must be invisible to it, and the
// processes these tests start must be the only ones it can find.
//
// Done before main: the program re-executes itself under `unshare`; inside,
// the first process (pid 1) only reaps orphans and passes on the exit status
// of a forked child, which runs the tests.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr char kMarker[] = "QUARRION_TEST_PIDNS";
constexpr char kUnshare[] = "/usr/bin/unshare";

std::vector<std::string> OwnArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::string current;
  for (char c : all) {
    if (c == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  return args;
}

void ReexecInNamespace() {
  if (::access(kUnshare, X_OK) != 0) return;
  if (std::system("/usr/bin/unshare -p -f --mount-proc true >/dev/null 2>&1") != 0) return;
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return;
  self[n] = '\0';
  std::vector<std::string> args = OwnArguments();
  if (args.empty()) return;
  std::vector<std::string> command = {"unshare", "-p", "-f", "--mount-proc", "--kill-child",
                                      self};
  command.insert(command.end(), args.begin() + 1, args.end());
  std::vector<char*> argv;
  for (auto& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::setenv(kMarker, "1", 1);
  std::fflush(nullptr);
  ::execv(kUnshare, argv.data());
  ::unsetenv(kMarker);  // exec failed: run here as usual
}

// As pid 1 of the namespace: fork the test run, reap everything, exit with
// the run's status.
void BecomeReaper() {
  const pid_t tests = ::fork();
  if (tests <= 0) return;  // the child (or a failed fork) runs the tests
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(-1, &status, 0);
    if (done == tests) {
      ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (done < 0 && errno != EINTR) ::_exit(1);
  }
}

struct PidNamespace {
  PidNamespace() {
    if (std::getenv(kMarker) == nullptr) {
      ReexecInNamespace();
    } else if (::getpid() == 1) {
      BecomeReaper();
    }
  }
};

const PidNamespace g_pid_namespace;

}  // namespace
