// What the agent and its handler program say to each other over the local
// socket that stands for the handler's pipe. Frames are a one-byte type, a
// 32-bit length (host order: both ends are on one machine) and the payload.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace vexil::protocol {

// Agent -> handler: the process's details as a JSON object (sent again
// whole whenever they change).
inline constexpr char kFrameRegister = 'R';
// Agent -> handler: a CrashMessage, sent from the crashing thread.
inline constexpr char kFrameCrash = 'C';
// Handler -> agent, after a crash frame: the record is written (or given up).
inline constexpr char kAckWritten = 'A';
inline constexpr char kAckFailed = 'F';
// Handler -> agent on the ready descriptor: listening, or another handler
// already serves the name.
inline constexpr char kReadyListening = 'L';
inline constexpr char kReadyBusy = 'B';

struct CrashMessage {
  std::uint32_t magic = 0x56584c43;  // "VXLC"
  std::int32_t pid = 0;
  std::int32_t tid = 0;
  std::int32_t signo = 0;
  std::int32_t code = 0;
  std::uint64_t fault_address = 0;
};

// Windows pipe names map to a socket in the agent's database directory:
// \\.\pipe\<name> -> <directory>/pipe/<name>. Anything after the last
// separator is the name; an empty name gives an empty path.
inline std::string SocketPathForPipe(const std::string& directory, const std::string& pipe) {
  const auto cut = pipe.find_last_of("\\/");
  const std::string name = cut == std::string::npos ? pipe : pipe.substr(cut + 1);
  if (name.empty() || name == "." || name == ".." || directory.empty()) return {};
  return directory + "/pipe/" + name;
}

// A socket address for `path`. Paths longer than sun_path are reached
// through an open descriptor of their directory (/proc/self/fd/N/name);
// *dir_fd then holds it and the caller closes it after bind/connect.
inline bool MakeSocketAddress(const std::string& path, sockaddr_un* address, int* dir_fd) {
  *dir_fd = -1;
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  std::string target = path;
  if (target.size() >= sizeof(address->sun_path)) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    *dir_fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dir_fd < 0) return false;
    target = "/proc/self/fd/" + std::to_string(*dir_fd) + path.substr(slash);
    if (target.size() >= sizeof(address->sun_path)) {
      ::close(*dir_fd);
      *dir_fd = -1;
      return false;
    }
  }
  std::memcpy(address->sun_path, target.c_str(), target.size() + 1);
  return true;
}

// Async-signal-safe: writes all of `size` bytes, without SIGPIPE.
inline bool SendAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Async-signal-safe: one frame as a single buffer when it is small.
inline bool SendFrame(int fd, char type, const void* payload, std::uint32_t size) {
  char header[5];
  header[0] = type;
  std::memcpy(header + 1, &size, sizeof(size));
  return SendAll(fd, header, sizeof(header)) && SendAll(fd, payload, size);
}

}  // namespace vexil::protocol
