#include <fcntl.h>
#include <unistd.h>

#include "platform/posix_util_posix.h"
#include "platform/system_text.h"

namespace platform {

Result<std::string> ReadSystemText(const std::filesystem::path& path, std::size_t limit) {
  posix::ScopedFd fd(posix::RetryAfterSignal([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd) return Fail(FromErrno(errno));
  std::string out;
  char buffer[4096];
  while (out.size() < limit) {
    const std::size_t want = std::min(sizeof buffer, limit - out.size());
    const ssize_t n = posix::RetryAfterSignal([&] { return ::read(fd.get(), buffer, want); });
    if (n < 0) return Fail(FromErrno(errno));
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace platform
