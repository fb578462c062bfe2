#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/append_file.h"
#include "platform/posix_util_posix.h"

namespace platform {

void AppendFile::Traits::Free(Native handle) { posix::FdTraits::Free(static_cast<int>(handle)); }

Result<AppendFile> AppendFile::Open(const std::filesystem::path& path) {
  // Appended files live in folders others may write: a link at the name is
  // refused rather than replaced (the file is shared by several writers, and
  // taking the name away under them would split their lines over two files).
  // O_NONBLOCK: a FIFO put there must not hang the open.
  posix::ScopedFd fd(posix::RetryAfterSignal([&] {
    return ::open(path.c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  }));
  if (!fd) return Fail(errno == ELOOP ? kErrorStoppedOnSymlink : FromErrno(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Fail(FromErrno(errno));
  // A FIFO or socket someone left at the name would take our lines away; a
  // second name of a regular file would let them land in another file.
  // (Devices can only be made by an administrator: /dev/null and the like
  // stay usable.)
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return Fail(kErrorAccessDenied);
  if (S_ISREG(info.st_mode) && info.st_nlink > 1) return Fail(kErrorAccessDenied);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Fail(FromErrno(errno));
  }
  AppendFile file;
  file.handle_.reset(fd.release());
  return file;
}

Result<void> AppendFile::Append(std::string_view text) {
  if (!is_open()) return Fail(kErrorInvalidHandle);
  const int fd = static_cast<int>(handle_.get());
  // A regular file takes the whole buffer in one write; the loop only covers
  // a full disk's short write.
  return posix::WriteAll(fd, text);
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
