// Low delay on this process's connections to a peer, over real loopback
// sockets.
#include "platform/socket_options.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A listener on 127.0.0.1 and one connection to it.
struct Loopback {
  int listener = -1;
  int client = -1;
  std::uint16_t port = 0;
  Loopback() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port = ntohs(a.sin_port);
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) port = 0;
  }
  ~Loopback() {
    if (client >= 0) ::close(client);
    if (listener >= 0) ::close(listener);
  }
  bool NoDelay() const {
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
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
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, c.changed ? 1 : 0);
    EXPECT_EQ(l.NoDelay(), c.changed);
    // A connection that has it already is left alone; the listener never counts.
    const auto again = platform::sockets::SetLowDelayOnConnectionsTo(c.address, l.port);
    ASSERT_TRUE(again);
    if (c.changed) EXPECT_EQ(*again, 0);
  }
}

}  // namespace
