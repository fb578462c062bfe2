// Options of the TCP connections this process holds open.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace platform::sockets {

// Turns Nagle's algorithm off on this process's TCP connections to `port`
// (and to `address`, a numeric IPv4 or IPv6 address, unless it is empty),
// for connections a library opened and does not hand out. A request written
// in two pieces over a kept-alive connection otherwise holds its second piece
// until the peer's delayed acknowledgement of the first (about 40 ms).
// Returns how many connections were changed; connections that have it off
// already are left alone. Windows: 50, nothing changed (a process cannot
// tell its sockets among its handles there without risking a block).
Result<int> SetLowDelayOnConnectionsTo(const std::string& address, std::uint16_t port);

}  // namespace platform::sockets
