// The crash agent: validates its record, starts (or joins) the handler
// program, and on a fatal signal tells the handler, runs the registered
// callback and lets the process die with the signal it got.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sdk/vexil/handler_protocol_posix.h"
#include "sdk/vexil/vexil_agent.h"
#include "sdk/vexil/vexil_validation.h"

extern char** environ;

namespace vexil {
namespace {

namespace fs = std::filesystem;
using protocol::CrashMessage;

constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
// The handler has this long to write the record before the process goes on
// dying without it.
constexpr int kAckTimeoutMs = 5000;
// Whatever hangs while crashing (a stuck handler, a callback that waits for
// a lock the crashed thread held), the process is gone after this.
constexpr unsigned kCrashDeadlineSeconds = 15;
// The callback may log and start a program, so the alternate stack is large.
constexpr std::size_t kAltStackSize = 512 * 1024;

// State the signal handler reads: plain atomics, set before the handlers
// are installed.
std::atomic<int> g_socket{-1};
std::atomic<VexilCrashCallback> g_callback{nullptr};
std::atomic<void*> g_callback_context{nullptr};
std::atomic<IVexilAgent*> g_agent{nullptr};
std::atomic<pid_t> g_crashing_tid{0};
// The thread writing a registration frame: a crash frame must not cut into it.
std::atomic<pid_t> g_sending_tid{0};
constexpr int kSendQuietWaitMs = 1000;
volatile sig_atomic_t g_crash_signo = 0;

pid_t CurrentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Ends the process with `signo` as its death signal; never returns.
[[noreturn]] void DieWith(int signo) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signo, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::syscall(SYS_tgkill, ::getpid(), CurrentTid(), signo);
  _exit(128 + signo);  // only if the signal could not end it
}

void OnCrashDeadline(int) { DieWith(g_crash_signo); }

// Waits for the handler's answer, bounded; EINTR keeps the deadline.
void WaitForAck(int fd) {
  timespec start {};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsed_ms =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed_ms >= kAckTimeoutMs) return;
    pollfd p {fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(kAckTimeoutMs - elapsed_ms));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    char ack = 0;
    const ssize_t n = ::read(fd, &ack, 1);
    if (n < 0 && errno == EINTR) continue;
    return;  // answer or end of stream: either way nothing more to wait for
  }
}

// Async-signal-safe up to the callback, which is the owner's.
void OnFatalSignal(int signo, siginfo_t* info, void*) {
  const pid_t tid = CurrentTid();
  pid_t expected = 0;
  if (!g_crashing_tid.compare_exchange_strong(expected, tid)) {
    if (expected == tid) DieWith(signo);  // crashed again while reporting
    for (;;) ::pause();  // another thread reports; it ends the process
  }
  g_crash_signo = signo;

  struct sigaction deadline {};
  deadline.sa_handler = OnCrashDeadline;
  sigemptyset(&deadline.sa_mask);
  ::sigaction(SIGALRM, &deadline, nullptr);
  sigset_t alarm_set;
  sigemptyset(&alarm_set);
  sigaddset(&alarm_set, SIGALRM);
  ::sigprocmask(SIG_UNBLOCK, &alarm_set, nullptr);
  ::alarm(kCrashDeadlineSeconds);

  int fd = g_socket.load();
  // Another thread may be half-way through a frame: let it finish (bounded).
  // If this thread crashed inside one, the stream is beyond repair.
  for (int waited_ms = 0; fd >= 0; ++waited_ms) {
    const pid_t sender = g_sending_tid.load();
    if (sender == 0) break;
    if (sender == tid || waited_ms >= kSendQuietWaitMs) fd = -1;
    const timespec one_ms {0, 1000000};
    ::nanosleep(&one_ms, nullptr);
  }
  if (fd >= 0) {
    CrashMessage message;
    message.pid = ::getpid();
    message.tid = tid;
    message.signo = signo;
    message.code = info != nullptr ? info->si_code : 0;
    message.fault_address =
        info != nullptr ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0;
    if (protocol::SendFrame(fd, protocol::kFrameCrash, &message, sizeof(message))) {
      WaitForAck(fd);
    }
  }
  if (VexilCrashCallback callback = g_callback.load()) {
    callback(g_agent.load(), g_callback_context.load());
  }
  DieWith(signo);
}

// Each thread needs its own alternate stack; the monitor gives one to the
// thread that starts it, so an overflow of that thread's stack is reported.
bool InstallAltStack() {
  void* memory = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  stack_t stack {};
  stack.ss_sp = memory;
  stack.ss_size = kAltStackSize;
  if (::sigaltstack(&stack, nullptr) != 0) {
    ::munmap(memory, kAltStackSize);
    return false;
  }
  return true;
}

void InstallSignalHandlers() {
  for (int signo : kFatalSignals) {
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(signo, &action, nullptr);
  }
}

int ConnectTo(const std::string& path) {
  sockaddr_un address {};
  int dir_fd = -1;
  if (!protocol::MakeSocketAddress(path, &address, &dir_fd)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    fd = -1;
  }
  if (dir_fd >= 0) ::close(dir_fd);
  return fd;
}

class VexilAgent final : public IVexilAgent {
 public:
  int InterfaceVersion() const override { return 1; }

  int Initialize(const VexilInitInfo& info) override {
    std::lock_guard lock(mutex_);
    const int error = ValidateInitInfo(info);
    if (error != kVexilOk) return error;
    info_ = info;
    initialized_ = true;
    return kVexilOk;
  }

  int StartMonitor(std::uint32_t pid, const wchar_t* component, std::size_t component_len,
                   const wchar_t* temp_directory, std::size_t temp_directory_len) override {
    std::lock_guard lock(mutex_);
    if (!initialized_) return kVexilNotInitialized;
    if (monitoring_) return kVexilOk;
    monitored_pid_ = pid;
    if (component != nullptr) monitored_name_ = WideToUtf8({component, component_len});
    if (temp_directory != nullptr) temp_directory_ = WideToUtf8({temp_directory, temp_directory_len});

    int result = kVexilOk;
    const int fd = ConnectToHandler();
    if (fd >= 0) {
      ucred peer {};
      socklen_t size = sizeof(peer);
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
        handler_pid_ = static_cast<std::uint32_t>(peer.pid);
        // The handler reads the crashed thread from outside.
        ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(peer.pid), 0, 0, 0);
      }
      g_socket.store(fd);
      SendRegistrationLocked();
    } else {
      result = kVexilHandlerUnavailable;  // the callback still runs on a crash
    }
    g_agent.store(this);
    InstallAltStack();
    InstallSignalHandlers();
    monitoring_ = true;
    return result;
  }

  bool IsMonitoring() const override {
    std::lock_guard lock(mutex_);
    return monitoring_;
  }

  int SetCustomValue(const char* key, const char* value) override {
    if (key == nullptr || *key == '\0') return kVexilBadArgument;
    std::lock_guard lock(mutex_);
    custom_[key] = value != nullptr ? value : "";
    if (monitoring_) SendRegistrationLocked();
    return kVexilOk;
  }

  int RegisterProcess(const wchar_t* pipe, const char* key, const wchar_t* name,
                      std::size_t name_len) override {
    if (pipe == nullptr || key == nullptr || *key == '\0') return kVexilBadArgument;
    std::lock_guard lock(mutex_);
    if (!initialized_) return kVexilNotInitialized;
    pipe_ = WideToUtf8(pipe);
    registration_[key] = name != nullptr ? WideToUtf8({name, name_len}) : std::string();
    if (monitoring_) SendRegistrationLocked();
    return kVexilOk;
  }

  int SetCrashCallback(VexilCrashCallback callback, void* context) override {
    g_callback_context.store(context);
    g_callback.store(callback);
    return kVexilOk;
  }

  int SetLimit(int kind, std::uint64_t value) override {
    if (kind != kVexilLimitRecordBytes || value == 0) return kVexilBadArgument;
    std::lock_guard lock(mutex_);
    record_limit_ = value;
    if (monitoring_) SendRegistrationLocked();
    return kVexilOk;
  }

  std::uint32_t HandlerPid() const override {
    std::lock_guard lock(mutex_);
    return handler_pid_;
  }

 private:
  std::string SocketPathLocked() const {
    const std::string database = WideToUtf8(info_.database_directory);
    std::string pipe = pipe_;
    if (pipe.empty()) pipe = "vexil-" + std::to_string(::getpid());
    return protocol::SocketPathForPipe(database, pipe);
  }

  // Joins a handler that already serves the pipe, or starts one and waits
  // (bounded) until it listens.
  int ConnectToHandler() {
    const std::string path = SocketPathLocked();
    if (path.empty()) return -1;
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (int fd = ConnectTo(path); fd >= 0) return fd;

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
    const std::string handler = WideToUtf8(info_.handler_path);
    const std::string database = WideToUtf8(info_.database_directory);
    std::vector<std::string> args = {handler, "--pipe", path, "--database", database,
                                     "--ready-fd", "3"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own session: a signal to the crashing program's group must not
    // take the handler with it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int spawned =
        ::posix_spawn(&child, handler.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ready[1]);
    if (spawned != 0) {
      ::close(ready[0]);
      return -1;
    }

    char answer = 0;
    pollfd p {ready[0], POLLIN, 0};
    const int timeout = info_.handler_start_timeout_ms > 0 ? info_.handler_start_timeout_ms : 5000;
    int polled;
    do {
      polled = ::poll(&p, 1, timeout);
    } while (polled < 0 && errno == EINTR);
    if (polled > 0 && ::read(ready[0], &answer, 1) != 1) answer = 0;
    ::close(ready[0]);
    if (answer == protocol::kReadyBusy) ::waitpid(child, nullptr, 0);  // it ends at once
    if (answer != protocol::kReadyListening && answer != protocol::kReadyBusy) return -1;
    return ConnectTo(path);
  }

  void SendRegistrationLocked() {
    const int fd = g_socket.load();
    if (fd < 0) return;
    nlohmann::json message = {
        {"pid", monitored_pid_},
        {"component", monitored_name_},
        {"version", WideToUtf8(info_.version)},
        {"main_version", WideToUtf8(info_.main_version)},
        {"package", info_.package_id},
        {"app_id", info_.app_id},
        {"machine_guid", info_.machine_guid},
        {"pipe", pipe_},
        {"custom", custom_},
        {"registration", registration_},
        {"record_limit", record_limit_},
    };
    const std::string text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    g_sending_tid.store(CurrentTid());
    protocol::SendFrame(fd, protocol::kFrameRegister, text.data(),
                        static_cast<std::uint32_t>(text.size()));
    g_sending_tid.store(0);
  }

  mutable std::mutex mutex_;
  bool initialized_ = false;
  bool monitoring_ = false;
  VexilInitInfo info_;
  std::uint32_t monitored_pid_ = 0;
  std::string monitored_name_;
  std::string temp_directory_;
  std::string pipe_;
  std::map<std::string, std::string> custom_;
  std::map<std::string, std::string> registration_;
  std::uint64_t record_limit_ = 0;  // 0: no limit
  std::uint32_t handler_pid_ = 0;
};

}  // namespace
}  // namespace vexil

extern "C" __attribute__((visibility("default"))) IVexilAgent* CreateVexilAgent() {
  // One agent per process, never released: it must outlive every thread
  // that can crash.
  static vexil::VexilAgent* agent = new vexil::VexilAgent();
  return agent;
}
