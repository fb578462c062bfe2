// Quit requests on POSIX: SIGUSR1, whose sender the kernel names.
#include <signal.h>
#include <time.h>

#include <cerrno>

#include "platform/files.h"
#include "standin_os.h"

namespace standin {
namespace {

volatile sig_atomic_t g_quit_requested = 0;
volatile sig_atomic_t g_quit_from = 0;

void OnQuitSignal(int, siginfo_t* info, void*) {
  g_quit_from = info != nullptr ? info->si_pid : 0;
  g_quit_requested = 1;
}

}  // namespace

void ListenForQuitRequests(const std::filesystem::path&, Pid) {
  struct sigaction action {};
  action.sa_sigaction = &OnQuitSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);
}

std::optional<Pid> TakeQuitRequest(const std::filesystem::path&, Pid) {
  if (!g_quit_requested) return std::nullopt;
  const int from = g_quit_from;
  g_quit_requested = 0;
  return static_cast<Pid>(from > 0 ? from : 0);
}

bool SendQuitRequest(const std::filesystem::path&, Pid target, Pid) {
  return ::kill(static_cast<pid_t>(target), SIGUSR1) == 0;
}

// A signal is taken on arrival: nothing is left to take back.
void WithdrawQuitRequest(const std::filesystem::path&, Pid, Pid) {}

void Acknowledge(const std::filesystem::path& dir, Pid requester) {
  (void)platform::files::ReplaceWholeFile(dir, "quit_ack." + std::to_string(requester), "");
}

void Nap(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    if (g_quit_requested) return;
  }
}

std::string PathText(const std::filesystem::path& path) { return path.native(); }

}  // namespace standin
