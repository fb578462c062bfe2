// The crash handler program on its own: started as the agent starts it,
// talked to over its socket.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "sdk/vexil/handler_protocol_posix.h"
#include "support/test_env.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace protocol = vexil::protocol;

// A handler we started; killed and reaped on destruction if still there.
struct Handler {
  pid_t pid = 0;
  char ready = 0;  // what it said on its ready descriptor (0: nothing)
  ~Handler() {
    if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  // Exit code once it has ended by itself within the bound; -1 otherwise.
  int WaitForExit(std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }
};

std::unique_ptr<Handler> StartHandler(const fs::path& socket, const fs::path& database) {
  auto handler = std::make_unique<Handler>();
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return handler;
  const std::string program = (testenv::BinDir() / "crashpad_handler.exe").string();
  std::vector<std::string> args = {program, "--pipe", socket.string(), "--database",
                                   database.string(), "--ready-fd", "3"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
  ::posix_spawn(&handler->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ready[1]);
  pollfd p {ready[0], POLLIN, 0};
  if (::poll(&p, 1, 10000) == 1 && ::read(ready[0], &handler->ready, 1) != 1) handler->ready = 0;
  ::close(ready[0]);
  return handler;
}

int Connect(const fs::path& socket) {
  sockaddr_un address {};
  int dir_fd = -1;
  if (!protocol::MakeSocketAddress(socket.string(), &address, &dir_fd)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    fd = -1;
  }
  if (dir_fd >= 0) ::close(dir_fd);
  return fd;
}

char AwaitAnswer(int fd) {
  pollfd p {fd, POLLIN, 0};
  char answer = 0;
  if (::poll(&p, 1, 30000) == 1 && ::read(fd, &answer, 1) != 1) answer = 0;
  return answer;
}

std::vector<fs::path> Records(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == ".json") found.push_back(e.path());
  }
  return found;
}

void SendRegistration(int fd, const nlohmann::json& registration) {
  const std::string text = registration.dump();
  ASSERT_TRUE(protocol::SendFrame(fd, protocol::kFrameRegister, text.data(),
                                  static_cast<std::uint32_t>(text.size())));
}

// Stands for a crashed thread: blocked until the handler has read it.
[[gnu::noinline]] char ReportThisThreadAsCrashed(int fd, int signo) {
  protocol::CrashMessage crash;
  crash.pid = ::getpid();
  crash.tid = static_cast<int>(::syscall(SYS_gettid));
  crash.signo = signo;
  crash.fault_address = 0x10;
  if (!protocol::SendFrame(fd, protocol::kFrameCrash, &crash, sizeof(crash))) return 0;
  return AwaitAnswer(fd);
}

class CrashHandler : public testenv::ProductTest {};

TEST_F(CrashHandler, WritesARecordWithTheBacktraceOfTheReportingThread) {
  const fs::path socket = home() / "pipe" / "1.0.0.0-598FEC22";
  fs::create_directories(socket.parent_path());
  auto handler = StartHandler(socket, home());
  ASSERT_EQ(handler->ready, protocol::kReadyListening);
  // As the agent does: the handler may read this process from outside.
  ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(handler->pid), 0, 0, 0);
  const int fd = Connect(socket);
  ASSERT_GE(fd, 0);
  SendRegistration(fd, {{"component", "Probe/../x"},
                        {"version", "1.2.3.4"},
                        {"custom", {{"ui_language", "en"}}},
                        {"registration", {{"procname_by_procid_1", "Probe"}}},
                        {"record_limit", 10485760}});
  EXPECT_EQ(ReportThisThreadAsCrashed(fd, SIGSEGV), protocol::kAckWritten);

  const std::vector<fs::path> records = Records(home());
  ASSERT_EQ(records.size(), 1u);
  // The component cannot steer the file out of the directory.
  EXPECT_EQ(records[0].parent_path(), home());
  EXPECT_EQ(records[0].filename().string().rfind("crash_Probe_.._x_" + std::to_string(::getpid()) + "_", 0), 0u)
      << records[0];
  const nlohmann::json record = nlohmann::json::parse(testenv::ReadFile(records[0]));
  EXPECT_EQ(record["signal_name"], "SIGSEGV");
  EXPECT_EQ(record["fault_address"], "0x10");
  EXPECT_EQ(record["version"], "1.2.3.4");
  EXPECT_EQ(record["custom"]["ui_language"], "en");
  bool named = false;
  for (const auto& frame : record["backtrace"]) {
    named = named || frame["function"].get<std::string>().find("ReportThisThreadAsCrashed") !=
                         std::string::npos;
  }
  EXPECT_TRUE(named) << record["backtrace"].dump(1);

  ::close(fd);
  // Its last process gone, it ends and takes its socket with it.
  EXPECT_EQ(handler->WaitForExit(std::chrono::seconds(20)), 0);
  EXPECT_FALSE(fs::exists(socket));
}

// Only a process may ask for its own dump: a frame naming another process,
// or one that is not a crash message, gets a refusal and writes nothing.
TEST_F(CrashHandler, RefusesCrashFramesForOtherProcessesOrMalformed) {
  const fs::path socket = home() / "pipe" / "name";
  fs::create_directories(socket.parent_path());
  auto handler = StartHandler(socket, home());
  ASSERT_EQ(handler->ready, protocol::kReadyListening);
  const int fd = Connect(socket);
  ASSERT_GE(fd, 0);

  protocol::CrashMessage other;
  other.pid = static_cast<int>(handler->pid);  // a process that is not the peer
  other.tid = other.pid;
  other.signo = SIGSEGV;
  protocol::CrashMessage forged = other;
  forged.pid = ::getpid();
  forged.magic = 0;
  for (const protocol::CrashMessage& message : {other, forged}) {
    ASSERT_TRUE(protocol::SendFrame(fd, protocol::kFrameCrash, &message, sizeof(message)));
    EXPECT_EQ(AwaitAnswer(fd), protocol::kAckFailed);
  }
  EXPECT_TRUE(Records(home()).empty());
  ::close(fd);
}

// A second handler for a name already served steps back; one left over
// from a dead handler (a stale socket file) is taken over. Paths too long
// for a socket address still work.
TEST_F(CrashHandler, SharesALiveNameTakesOverAStaleOneAndCopesWithLongPaths) {
  const fs::path deep = home() / std::string(90, 'd') / "pipe";
  fs::create_directories(deep);
  const fs::path socket = deep / "1.0.0.0-598FEC22-BD78-BD1B-74C6-307659AD9988";
  ASSERT_GT(socket.string().size(), sizeof(sockaddr_un::sun_path));

  auto first = StartHandler(socket, home());
  ASSERT_EQ(first->ready, protocol::kReadyListening);
  const int fd = Connect(socket);
  ASSERT_GE(fd, 0);
  auto second = StartHandler(socket, home());
  EXPECT_EQ(second->ready, protocol::kReadyBusy);
  EXPECT_EQ(second->WaitForExit(std::chrono::seconds(20)), 0);

  // The first one dies without cleaning up: its socket file stays.
  ::kill(first->pid, SIGKILL);
  ::waitpid(first->pid, nullptr, 0);
  first->pid = 0;
  ::close(fd);
  ASSERT_TRUE(fs::exists(socket));
  auto third = StartHandler(socket, home());
  EXPECT_EQ(third->ready, protocol::kReadyListening);
  const int again = Connect(socket);
  EXPECT_GE(again, 0);
  if (again >= 0) ::close(again);
}

TEST(HandlerProtocol, PipeNamesMapToSocketsInTheDatabaseDirectory) {
  struct Case {
    const char* pipe;
    const char* expected;
  };
  for (const Case& c : {Case{"\\\\.\\pipe\\1.0-GUID", "/d/pipe/1.0-GUID"},
                        Case{"plain", "/d/pipe/plain"},
                        Case{"\\\\.\\pipe\\..", ""},
                        Case{"\\\\.\\pipe\\", ""},
                        Case{"a/../../etc", "/d/pipe/etc"}}) {
    EXPECT_EQ(protocol::SocketPathForPipe("/d", c.pipe), c.expected) << c.pipe;
  }
  EXPECT_EQ(protocol::SocketPathForPipe("", "x"), "");
}

}  // namespace
