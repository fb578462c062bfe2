#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/append_file.h"
#include "platform/posix_util_posix.h"

namespace platform {

void AppendFile::Traits::Free(Native handle) { posix::FdTraits::Free(static_cast<int>(handle)); }

Result<AppendFile> AppendFile::Open(const std::filesystem::path& path) {
  const int fd = posix::RetryAfterSignal(
      [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); });
  if (fd < 0) return Fail(FromErrno(errno));
  AppendFile file;
  file.handle_.reset(fd);
  return file;
}

Result<void> AppendFile::Append(std::string_view text) {
  if (!is_open()) return Fail(kErrorInvalidHandle);
  const int fd = static_cast<int>(handle_.get());
  // A regular file takes the whole buffer in one write; the loop only covers
  // a full disk's short write.
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = posix::RetryAfterSignal([&] { return ::write(fd, data, left); });
    if (n < 0) return Fail(FromErrno(errno));
    if (n == 0) return Fail(kErrorDiskFull);
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> AppendFile::SyncAndClose() {
  if (!is_open()) return {};
  const int fd = static_cast<int>(handle_.get());
  const int synced = posix::RetryAfterSignal([&] { return ::fsync(fd); });
  const int err = errno;
  handle_.reset();
  if (synced != 0) return Fail(FromErrno(err));
  return {};
}

}  // namespace platform
