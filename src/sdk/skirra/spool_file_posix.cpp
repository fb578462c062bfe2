#include "sdk/skirra/spool_file.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace skirra {

long long CurrentProcessId() { return static_cast<long long>(::getpid()); }

SpoolFile::~SpoolFile() { SyncAndClose(); }

bool SpoolFile::Open(const std::filesystem::path& path) {
  SyncAndClose();
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  fd_ = fd;
  return fd_ >= 0;
}

bool SpoolFile::IsOpen() const { return fd_ >= 0; }

bool SpoolFile::Append(std::string_view line) {
  if (fd_ < 0) return false;
  // A regular file takes the whole buffer in one write; the loop only covers
  // signals and a full disk's short write.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

void SpoolFile::SyncAndClose() {
  if (fd_ < 0) return;
  ::fsync(fd_);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace skirra
