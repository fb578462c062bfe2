// POSIX-only helpers of the platform backend. Never included by a header
// that both backends share.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <type_traits>

#include "platform/scoped_generic.h"

namespace platform::posix {

// Calls `fn` again while it fails with EINTR (a signal arrived). Failure is
// the value -1 with errno set, as for system calls.
template <typename Fn>
auto RetryAfterSignal(Fn&& fn) -> decltype(fn()) {
  decltype(fn()) result;
  do {
    errno = 0;
    result = fn();
  } while (result == static_cast<decltype(result)>(-1) && errno == EINTR);
  return result;
}

struct FdTraits {
  static int InvalidValue() { return -1; }
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway
  // and a retry could close one that another thread has just been given.
  static void Free(int fd) { ::close(fd); }
};
using ScopedFd = ScopedGeneric<int, FdTraits>;

}  // namespace platform::posix
