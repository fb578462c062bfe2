// The crash handler program. Started by the crash agent with
//   crashpad_handler.exe --pipe <socket path> --database <directory> --ready-fd N
// it listens on the socket (or, when another handler already serves it,
// says so and ends), tells the agent on descriptor N, and serves every
// process that connects: their details arrive as registration frames; a
// crash frame makes it read the crashed thread's backtrace from outside,
// write <database>/crash_<component>_<pid>_<time ms>.json and answer.
// It ends once the last of its processes has gone, or when nobody came.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crash_backtrace.h"
#include "crash_record.h"
#include "platform/files.h"
#include "sdk/vexil/handler_protocol_posix.h"

namespace {

namespace protocol = vexil::protocol;

// Nobody connecting within this long means the agent gave up on us.
constexpr int kFirstClientTimeoutMs = 30000;
constexpr std::uint32_t kMaxFrameBytes = 16 * 1024 * 1024;

struct Client {
  int fd = -1;
  std::string buffer;
  nlohmann::json registration = nlohmann::json::object();
};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// File names keep to a safe alphabet whatever the component is called.
std::string SafeName(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.';
    out += safe ? c : '_';
  }
  if (out.empty() || out == "." || out == "..") out = "process";
  return out.substr(0, 64);
}

char HandleCrash(const Client& client, const protocol::CrashMessage& crash,
                 const std::string& database) {
  if (crash.magic != protocol::CrashMessage().magic) return protocol::kAckFailed;
  // Only the connected process itself may ask for its own dump.
  ucred peer {};
  socklen_t size = sizeof(peer);
  if (::getsockopt(client.fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      peer.pid != crash.pid) {
    return protocol::kAckFailed;
  }
  std::string error;
  const std::vector<crash_handler::Frame> frames =
      crash_handler::ReadBacktrace(crash.pid, crash.tid, &error);
  if (!error.empty()) std::fprintf(stderr, "crashpad_handler: %s\n", error.c_str());

  std::uint64_t limit = 0;
  if (auto it = client.registration.find("record_limit");
      it != client.registration.end() && it->is_number_unsigned()) {
    limit = it->get<std::uint64_t>();
  }
  const std::int64_t time_ms = NowMs();
  crash_handler::CrashFacts facts;
  facts.pid = crash.pid;
  facts.tid = crash.tid;
  facts.signal = crash.signo;
  facts.signal_code = crash.code;
  facts.fault_address = crash.fault_address;
  facts.signal_name = crash_handler::SignalName(crash.signo);
  const std::string text =
      crash_handler::BuildCrashRecord(client.registration, facts, frames, time_ms, limit);
  if (text.empty()) return protocol::kAckFailed;
  std::string component = "process";
  if (auto it = client.registration.find("component");
      it != client.registration.end() && it->is_string()) {
    component = it->get<std::string>();
  }
  const std::string name = "crash_" + SafeName(component) + "_" + std::to_string(crash.pid) +
                           "_" + std::to_string(time_ms) + ".json";
  // The database is the product's temporary folder, which others may write:
  // the record is a new file there, never written through a link at its name.
  const platform::Result<void> written = platform::files::ReplaceWholeFile(database, name, text);
  if (!written) {
    std::fprintf(stderr, "crashpad_handler: cannot write %s/%s: error %u\n", database.c_str(),
                 name.c_str(), static_cast<unsigned>(written.error()));
  }
  return written ? protocol::kAckWritten : protocol::kAckFailed;
}

// Handles every complete frame in the client's buffer; false ends the client.
bool ProcessFrames(Client& client, const std::string& database) {
  for (;;) {
    if (client.buffer.size() < 5) return true;
    std::uint32_t size = 0;
    std::memcpy(&size, client.buffer.data() + 1, sizeof(size));
    if (size > kMaxFrameBytes) return false;
    if (client.buffer.size() < 5 + size) return true;
    const char type = client.buffer[0];
    const std::string payload = client.buffer.substr(5, size);
    client.buffer.erase(0, 5 + size);
    if (type == protocol::kFrameRegister) {
      nlohmann::json parsed = nlohmann::json::parse(payload, nullptr, false);
      if (parsed.is_object()) client.registration = std::move(parsed);
    } else if (type == protocol::kFrameCrash && size == sizeof(protocol::CrashMessage)) {
      protocol::CrashMessage crash;
      std::memcpy(&crash, payload.data(), sizeof(crash));
      const char answer = HandleCrash(client, crash, database);
      protocol::SendAll(client.fd, &answer, 1);
    } else {
      return false;
    }
  }
}

int Listen(const std::string& path) {
  sockaddr_un address {};
  int dir_fd = -1;
  if (!protocol::MakeSocketAddress(path, &address, &dir_fd)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int result = -1;
  if (fd >= 0) {
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::listen(fd, 16) == 0) {
      result = fd;
    } else if (errno == EADDRINUSE) {
      result = -2;
    }
    if (result < 0) ::close(fd);
  }
  if (dir_fd >= 0) ::close(dir_fd);
  return result;
}

bool SomeoneListens(const std::string& path) {
  sockaddr_un address {};
  int dir_fd = -1;
  if (!protocol::MakeSocketAddress(path, &address, &dir_fd)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool listening =
      fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  if (fd >= 0) ::close(fd);
  if (dir_fd >= 0) ::close(dir_fd);
  return listening;
}

void Tell(int ready_fd, char answer) {
  if (ready_fd < 0) return;
  ssize_t n;
  do {
    n = ::write(ready_fd, &answer, 1);
  } while (n < 0 && errno == EINTR);
  ::close(ready_fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string pipe_path;
  std::string database;
  int ready_fd = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--pipe") pipe_path = argv[i + 1];
    else if (name == "--database") database = argv[i + 1];
    else if (name == "--ready-fd") ready_fd = std::atoi(argv[i + 1]);
  }
  if (pipe_path.empty() || database.empty()) {
    std::fprintf(stderr, "usage: crashpad_handler.exe --pipe PATH --database DIR [--ready-fd N]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Symbols come from the files on this machine only, never from a server.
  ::unsetenv("DEBUGINFOD_URLS");
  // Descriptors the crashing program left open (its log, its pipes) are not
  // ours to hold: keep only the standard ones and the ready descriptor.
  ::close_range(static_cast<unsigned>(std::max(ready_fd, 2)) + 1, ~0U, 0);
  if (ready_fd > 3) ::close_range(3, static_cast<unsigned>(ready_fd) - 1, 0);
  // Holds no directory of the product open.
  if (::chdir("/") != 0) std::perror("crashpad_handler: chdir");

  int listener = Listen(pipe_path);
  if (listener == -2) {
    if (SomeoneListens(pipe_path)) {
      Tell(ready_fd, protocol::kReadyBusy);
      return 0;
    }
    ::unlink(pipe_path.c_str());  // left by a handler that died
    listener = Listen(pipe_path);
  }
  if (listener < 0) {
    std::fprintf(stderr, "crashpad_handler: cannot listen on %s: %s\n", pipe_path.c_str(),
                 std::strerror(errno));
    if (ready_fd >= 0) ::close(ready_fd);
    return 1;
  }
  Tell(ready_fd, protocol::kReadyListening);

  std::map<int, Client> clients;
  bool had_client = false;
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({listener, POLLIN, 0});
    for (const auto& [fd, client] : clients) fds.push_back({fd, POLLIN, 0});
    const int r = ::poll(fds.data(), fds.size(), had_client ? -1 : kFirstClientTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0 && !had_client) break;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        clients[fd].fd = fd;
        had_client = true;
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Client& client = clients[fds[i].fd];
      char buffer[65536];
      const ssize_t n = ::read(client.fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      bool keep = n > 0;
      if (keep) {
        client.buffer.append(buffer, static_cast<std::size_t>(n));
        keep = ProcessFrames(client, database);
      }
      if (!keep) {
        ::close(client.fd);
        clients.erase(fds[i].fd);
      }
    }
    if (had_client && clients.empty()) break;
  }
  // Gone before a newcomer could take the name: a later agent starts its own.
  ::close(listener);
  ::unlink(pipe_path.c_str());
  return 0;
}
