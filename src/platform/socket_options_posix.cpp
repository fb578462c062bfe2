#include "platform/socket_options.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace platform::sockets {

namespace {

struct DirCloser {
  DIR* dir;
  ~DirCloser() {
    if (dir != nullptr) ::closedir(dir);
  }
};

// The peer of a connected TCP socket matches `port` and, when `want` is
// set, the address `want` (IPv4 given also matches its v4-mapped IPv6 form).
bool PeerMatches(const sockaddr_storage& peer, std::uint16_t port, const std::string& want) {
  if (peer.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(peer);
    if (ntohs(a.sin_port) != port) return false;
    if (want.empty()) return true;
    in_addr w{};
    return ::inet_pton(AF_INET, want.c_str(), &w) == 1 && w.s_addr == a.sin_addr.s_addr;
  }
  if (peer.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(peer);
    if (ntohs(a.sin6_port) != port) return false;
    if (want.empty()) return true;
    in6_addr w6{};
    if (::inet_pton(AF_INET6, want.c_str(), &w6) == 1) return std::memcmp(&w6, &a.sin6_addr, sizeof w6) == 0;
    in_addr w4{};
    if (::inet_pton(AF_INET, want.c_str(), &w4) != 1 || !IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) return false;
    return std::memcmp(&a.sin6_addr.s6_addr[12], &w4, sizeof w4) == 0;
  }
  return false;
}

}  // namespace

Result<int> SetLowDelayOnConnectionsTo(const std::string& address, std::uint16_t port) {
  DirCloser fds{::opendir("/proc/self/fd")};
  if (fds.dir == nullptr) return Fail(FromErrno(errno));
  const int own = ::dirfd(fds.dir);
  int changed = 0;
  while (dirent* entry = ::readdir(fds.dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) continue;
    sockaddr_storage peer{};
    len = sizeof peer;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    if (!PeerMatches(peer, port, address)) continue;
    int on = 0;
    len = sizeof on;
    if (::getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, &len) != 0 || on != 0) continue;
    on = 1;
    if (::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++changed;
  }
  return changed;
}

}  // namespace platform::sockets
