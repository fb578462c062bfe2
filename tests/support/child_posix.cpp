// The parts of the child helpers that watch or signal through the OS.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "support/child.h"

extern char** environ;

namespace testenv {

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

Handshake::Handshake() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    read_fd_ = fds[0];
    write_fd_ = fds[1];
  }
}

Handshake::~Handshake() {
  if (read_fd_ >= 0) ::close(static_cast<int>(read_fd_));
  if (write_fd_ >= 0) ::close(static_cast<int>(write_fd_));
}

void Handshake::Signal() {
  const char byte = 's';
  while (::write(static_cast<int>(write_fd_), &byte, 1) < 0 && errno == EINTR) {
  }
}

bool Handshake::WaitFor(int count, std::uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{static_cast<int>(read_fd_), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[64];
    const ssize_t n = ::read(static_cast<int>(read_fd_), buffer, std::min<std::size_t>(sizeof buffer, count));
    if (n > 0) count -= static_cast<int>(n);
  }
  return true;
}

namespace {

// The state letter of a /proc stat file ('S' asleep); 0 when it is gone.
char StateOf(const std::string& stat_file) {
  std::string stat;
  if (FILE* file = std::fopen(stat_file.c_str(), "r")) {
    char buffer[512];
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    stat.assign(buffer, n);
  }
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return 0;
  return stat[paren + 2];
}

}  // namespace

bool WaitUntilProcessAsleep(int pid, std::uint32_t timeout_ms) {
  const std::string stat_file = "/proc/" + std::to_string(pid) + "/stat";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    const char state = StateOf(stat_file);
    if (state == 'S') return true;
    if (state == 0 || state == 'Z') return false;
    std::this_thread::yield();
  }
  return false;
}

int CurrentThreadId() { return static_cast<int>(::gettid()); }

std::thread WhenThreadBlocks(int thread_id, std::function<void()> action) {
  return std::thread([thread_id, action = std::move(action)] {
    const std::string stat_file = "/proc/self/task/" + std::to_string(thread_id) + "/stat";
    // Gone, or asleep: either way nothing more is to be waited for.
    for (char state = StateOf(stat_file); state != 0 && state != 'S';
         state = StateOf(stat_file)) {
      std::this_thread::yield();
    }
    action();
  });
}

}  // namespace testenv
