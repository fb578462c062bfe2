// Low delay on this process's connections to a peer, over real loopback
// sockets. Windows cannot reach a library's sockets: there the switch says
// so and leaves every connection as it was.
#include "platform/socket_options.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
constexpr int kStream = SOCK_STREAM;
void CloseSocket(Socket s) { ::closesocket(s); }
constexpr bool kSwitchSupported = false;
#else
using Socket = int;
const Socket kNoSocket = -1;
constexpr int kStream = SOCK_STREAM | SOCK_CLOEXEC;
void CloseSocket(Socket s) { ::close(s); }
constexpr bool kSwitchSupported = true;
#endif

// A listener on 127.0.0.1 and one connection to it.
struct Loopback {
  Socket listener = kNoSocket;
  Socket client = kNoSocket;
  std::uint16_t port = 0;
  Loopback() {
#ifdef _WIN32
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
#endif
    listener = ::socket(AF_INET, kStream, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port = ntohs(a.sin_port);
    client = ::socket(AF_INET, kStream, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) port = 0;
  }
  ~Loopback() {
    if (client != kNoSocket) CloseSocket(client);
    if (listener != kNoSocket) CloseSocket(listener);
#ifdef _WIN32
    ::WSACleanup();
#endif
  }
  bool NoDelay() const {
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), &len) == 0 &&
           on != 0;
  }
};

TEST(SocketOptionsTest, OnlyConnectionsToTheGivenPeerAreChangedAndOnlyOnce) {
  struct Case {
    const char* name;
    const char* address;
    int port_offset;  // added to the listener's port
    bool changed;
  };
  const Case cases[] = {
      {"address and port", "127.0.0.1", 0, true},
      {"any address, the port", "", 0, true},
      {"v4-mapped form of the address", "::ffff:127.0.0.1", 0, false},
      {"another address", "127.0.0.2", 0, false},
      {"another port", "127.0.0.1", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback l;
    ASSERT_NE(l.port, 0);
    ASSERT_FALSE(l.NoDelay());
    const auto first = platform::sockets::SetLowDelayOnConnectionsTo(
        c.address, static_cast<std::uint16_t>(l.port + c.port_offset));
    if (!kSwitchSupported) {
      EXPECT_EQ(first.error(), platform::kErrorNotSupported);
      EXPECT_FALSE(l.NoDelay());
      continue;
    }
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, c.changed ? 1 : 0);
    EXPECT_EQ(l.NoDelay(), c.changed);
    // A connection that has it already is left alone; the listener never counts.
    const auto again = platform::sockets::SetLowDelayOnConnectionsTo(c.address, l.port);
    ASSERT_TRUE(again);
    if (c.changed) {
      EXPECT_EQ(*again, 0);
    }
  }
}

}  // namespace
