// Windows has no sound way to reach the sockets a library opened and keeps
// to itself: a socket is a handle like any file or pipe, and telling which of
// the process's handles are sockets means querying each, which blocks on a
// synchronous handle another thread is reading. The switch therefore answers
// 50 there and changes nothing; the caller keeps Nagle's delay.
#include "platform/socket_options.h"

namespace platform::sockets {

Result<int> SetLowDelayOnConnectionsTo(const std::string& /*address*/, std::uint16_t /*port*/) {
  return Fail(kErrorNotSupported);
}

}  // namespace platform::sockets
