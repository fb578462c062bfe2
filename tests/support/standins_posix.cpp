// The machine-wide lock of the stand-in helpers: a file lock.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/standins.h"

namespace testenv {

MachineLock::MachineLock(const std::string& name) {
  const auto file = std::filesystem::temp_directory_path() / ("quarrion-test-" + name + ".lock");
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  lock_ = fd;
}

MachineLock::~MachineLock() {
  if (lock_ >= 0) ::close(static_cast<int>(lock_));  // releases the lock
}

}  // namespace testenv
