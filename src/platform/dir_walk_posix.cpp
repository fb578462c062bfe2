#include "platform/dir_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/text.h"

namespace platform::dir_walk {
namespace {

int RetryClose(int fd) {
  // close() must not be retried on EINTR on Linux: the descriptor is gone.
  return ::close(fd);
}

std::atomic<RemoveFileFunction> g_remove_file{&RealRemoveFile};

EntryType TypeOf(const struct stat& st, std::uint64_t parent_device) {
  if (S_ISLNK(st.st_mode)) return EntryType::kSymlink;
  if (S_ISDIR(st.st_mode)) {
    if (parent_device != 0 && static_cast<std::uint64_t>(st.st_dev) != parent_device) {
      return EntryType::kMountPoint;
    }
    return EntryType::kDirectory;
  }
  return EntryType::kFile;
}

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

DirHandle::~DirHandle() {
  if (fd_ >= 0) RetryClose(fd_);
}

DirHandle::DirHandle(DirHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) RetryClose(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

DirHandle DirHandle::Open(const std::filesystem::path& path, ErrorCode* error) {
  int fd;
  do {
    fd = ::open(path.c_str(), kOpenDirFlags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A link in the last component gives ELOOP: it is not a directory to us.
    if (error != nullptr) *error = errno == ELOOP ? kErrorAccessDenied : FromErrno(errno);
    return DirHandle();
  }
  if (error != nullptr) *error = kErrorSuccess;
  return DirHandle(fd);
}

DirHandle DirHandle::OpenChild(const std::filesystem::path& name, ErrorCode* error,
                               const EntryInfo* expected) const {
  auto fail = [error](ErrorCode code) {
    if (error != nullptr) *error = code;
    return DirHandle();
  };
  if (fd_ < 0) return fail(kErrorInvalidHandle);
  int fd;
  do {
    fd = ::openat(fd_, name.c_str(), kOpenDirFlags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno == ELOOP ? kErrorAccessDenied : FromErrno(errno));
  DirHandle child(fd);
  if (expected != nullptr) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(FromErrno(errno));
    if (static_cast<std::uint64_t>(st.st_dev) != expected->device ||
        static_cast<std::uint64_t>(st.st_ino) != expected->inode) {
      return fail(kErrorAccessDenied);
    }
  }
  if (error != nullptr) *error = kErrorSuccess;
  return child;
}

ErrorCode DirHandle::List(const std::function<bool(const Entry&)>& visit) const {
  if (fd_ < 0) return kErrorInvalidHandle;
  // fdopendir takes the descriptor over, so hand it a duplicate.
  int dup_fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return FromErrno(errno);
  DIR* dir = ::fdopendir(dup_fd);
  if (dir == nullptr) {
    ErrorCode err = FromErrno(errno);
    RetryClose(dup_fd);
    return err;
  }
  ::rewinddir(dir);
  const std::uint64_t device = Device();
  ErrorCode result = kErrorSuccess;
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
      if (errno != 0) result = FromErrno(errno);
      break;
    }
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    Entry entry;
    entry.name = d->d_name;
    // The listing's own type saves a stat per file; a directory is still
    // examined, to tell a mount point from a plain directory.
    if (d->d_type == DT_REG) {
      entry.type = EntryType::kFile;
    } else if (d->d_type == DT_LNK) {
      entry.type = EntryType::kSymlink;
    } else {
      struct stat st {};
      if (::fstatat(fd_, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        entry.type = TypeOf(st, device);
      } else if (errno == ENOENT) {
        continue;  // gone since the listing was read
      }
    }
    if (!visit(entry)) break;
  }
  ::closedir(dir);
  return result;
}

ErrorCode DirHandle::Stat(const std::filesystem::path& name, EntryInfo* info) const {
  if (fd_ < 0) return kErrorInvalidHandle;
  struct stat st {};
  if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FromErrno(errno);
  if (info != nullptr) {
    info->type = TypeOf(st, Device());
    info->device = static_cast<std::uint64_t>(st.st_dev);
    info->inode = static_cast<std::uint64_t>(st.st_ino);
  }
  return kErrorSuccess;
}

bool DirHandle::Exists(const std::filesystem::path& name) const {
  if (fd_ < 0) return false;
  struct stat st {};
  return ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

ErrorCode DirHandle::RemoveFile(const std::filesystem::path& name) const {
  if (fd_ < 0) return kErrorInvalidHandle;
  return g_remove_file.load()(fd_, name.c_str());
}

ErrorCode DirHandle::RemoveDirectory(const std::filesystem::path& name) const {
  if (fd_ < 0) return kErrorInvalidHandle;
  if (::unlinkat(fd_, name.c_str(), AT_REMOVEDIR) != 0) {
    return errno == ENOTEMPTY || errno == EEXIST ? kErrorDirNotEmpty : FromErrno(errno);
  }
  return kErrorSuccess;
}

ErrorCode DirHandle::Rename(const std::filesystem::path& from,
                            const std::filesystem::path& to) const {
  if (fd_ < 0) return kErrorInvalidHandle;
  if (::renameat(fd_, from.c_str(), fd_, to.c_str()) != 0) return FromErrno(errno);
  return kErrorSuccess;
}

std::uint64_t DirHandle::Device() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_dev);
}

ErrorCode RealRemoveFile(int dir, const char* name) {
  if (::unlinkat(dir, name, 0) != 0) return FromErrno(errno);
  return kErrorSuccess;
}

RemoveFileFunction ExchangeRemoveFileFunction(RemoveFileFunction fn) {
  return g_remove_file.exchange(fn != nullptr ? fn : &RealRemoveFile);
}

std::vector<std::wstring> SystemFolders() {
  std::vector<std::wstring> folders = {
      L"/",     L"/bin",  L"/boot", L"/dev", L"/etc", L"/lib", L"/lib64", L"/opt", L"/proc",
      L"/root", L"/run",  L"/sbin", L"/srv", L"/sys", L"/usr", L"/var",   L"/home",
  };
  auto add = [&folders](const std::string& value) {
    if (value.size() < 4) return;
    folders.push_back(text::FromUtf8(value));
  };
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
  };
  const std::string home = env("HOME");
  add(home);
  // The XDG base folders, and their defaults under the home when unset.
  struct Xdg {
    const char* variable;
    const char* fallback;
  };
  const Xdg xdg[] = {
      {"XDG_DATA_HOME", "/.local/share"}, {"XDG_CONFIG_HOME", "/.config"},
      {"XDG_CACHE_HOME", "/.cache"},      {"XDG_STATE_HOME", "/.local/state"},
      {"XDG_RUNTIME_DIR", nullptr},
  };
  for (const Xdg& x : xdg) {
    std::string value = env(x.variable);
    if (!value.empty()) {
      add(value);
    } else if (x.fallback != nullptr && !home.empty()) {
      add(home + x.fallback);
    }
  }
  if (!home.empty()) add(home + "/.local");
  // The shared XDG data and configuration folders, colon-separated lists.
  for (const char* list : {"XDG_DATA_DIRS", "XDG_CONFIG_DIRS"}) {
    const std::string value = env(list);
    std::size_t start = 0;
    while (start <= value.size()) {
      std::size_t end = value.find(':', start);
      if (end == std::string::npos) end = value.size();
      add(value.substr(start, end - start));
      start = end + 1;
    }
  }
  return folders;
}

}  // namespace platform::dir_walk
