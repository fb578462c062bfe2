// POSIX-only helpers of the platform backend. Never included by a header
// that both backends share.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "platform/error.h"
#include "platform/result.h"
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

// Writes all of `text`, looping over short writes. A write that takes nothing
// is a full device (a short write is never success).
inline Result<void> WriteAll(int fd, std::string_view text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = RetryAfterSignal([&] { return ::write(fd, data, left); });
    if (n < 0) return Fail(FromErrno(errno));
    if (n == 0) return Fail(kErrorDiskFull);
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace platform::posix
