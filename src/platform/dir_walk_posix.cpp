#include "platform/dir_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix_util_posix.h"
#include "platform/text.h"

namespace platform::dir_walk {
namespace {

std::atomic<RemoveFileFunction> g_remove_file{&RealRemoveFile};

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr unsigned kStatxMask = STATX_TYPE | STATX_INO;
// One read of a listing: large enough for a folder of a few hundred entries,
// so a typical folder takes one read plus the one that says it is done.
constexpr std::size_t kListingBuffer = 32 * 1024;

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// A link in the last component (ELOOP under O_NOFOLLOW) or a file where a
// directory was asked for: "not a directory" to the walk, which then removes
// the entry as the link or file it is.
ErrorCode OpenError(int err) {
  return err == ELOOP || err == ENOTDIR ? kErrorDirectory : FromErrno(err);
}

int StatxAt(int dir, const char* name, int flags, struct statx* out) {
  return posix::RetryAfterSignal([&] { return ::statx(dir, name, flags, kStatxMask, out); });
}

std::uint64_t DeviceOf(const struct statx& st) {
  return static_cast<std::uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor));
}

// The kernel marks the root of every mount, bind mounts of the same file
// system included, which a device comparison cannot see. A kernel that does
// not report the mark leaves only the device: `other_device` is the device
// the entry would have if it were no mount point (0 when unknown).
bool IsMountRoot(const struct statx& st, std::uint64_t other_device) {
  if ((st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  return other_device != 0 && DeviceOf(st) != other_device;
}

EntryInfo InfoOf(const struct statx& st, std::uint64_t other_device) {
  EntryInfo info;
  if (S_ISLNK(st.stx_mode)) {
    info.type = EntryType::kSymlink;
  } else if (S_ISDIR(st.stx_mode)) {
    info.type = IsMountRoot(st, other_device) ? EntryType::kMountPoint : EntryType::kDirectory;
  } else {
    info.type = EntryType::kFile;
  }
  info.device = DeviceOf(st);
  info.inode = st.stx_ino;
  return info;
}

EntryType FromDirentType(unsigned char type) {
  switch (type) {
    case DT_DIR:
      return EntryType::kDirectory;
    case DT_LNK:
      return EntryType::kSymlink;
    case DT_UNKNOWN:
      return EntryType::kUnknown;
    default:
      return EntryType::kFile;
  }
}

}  // namespace

void DirHandleTraits::Free(std::intptr_t handle) { posix::FdTraits::Free(Fd(handle)); }

Result<DirHandle> DirHandle::Open(const std::filesystem::path& path) {
  const int fd = posix::RetryAfterSignal([&] { return ::open(path.c_str(), kOpenDirFlags); });
  if (fd < 0) return Fail(OpenError(errno));
  return DirHandle(fd);
}

Result<DirHandle> DirHandle::OpenChild(const std::filesystem::path& name,
                                       const EntryInfo* expected) const {
  if (!valid()) return Fail(kErrorInvalidHandle);
  const int fd =
      posix::RetryAfterSignal([&] { return ::openat(Fd(native()), name.c_str(), kOpenDirFlags); });
  if (fd < 0) return Fail(OpenError(errno));
  DirHandle child(fd);
  if (expected != nullptr) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fail(FromErrno(errno));
    if (static_cast<std::uint64_t>(st.st_dev) != expected->device ||
        static_cast<std::uint64_t>(st.st_ino) != expected->inode) {
      return Fail(kErrorAccessDenied);
    }
  }
  return child;
}

Result<EntryInfo> DirHandle::Identify() const {
  if (!valid()) return Fail(kErrorInvalidHandle);
  struct statx st {};
  if (StatxAt(Fd(native()), "", AT_EMPTY_PATH, &st) != 0) return Fail(FromErrno(errno));
  return InfoOf(st, 0);
}

ErrorCode DirHandle::List(const std::function<bool(const Entry&)>& visit) const {
  if (!valid()) return kErrorInvalidHandle;
  const int fd = Fd(native());
  // The descriptor's own position is the listing's: only a second listing
  // of the same handle needs to start over.
  if (listed_ && ::lseek(fd, 0, SEEK_SET) != 0) return FromErrno(errno);
  listed_ = true;
  const auto buffer = std::make_unique<char[]>(kListingBuffer);
  for (;;) {
    const ssize_t read =
        posix::RetryAfterSignal([&] { return ::getdents64(fd, buffer.get(), kListingBuffer); });
    if (read < 0) return FromErrno(errno);
    if (read == 0) return kErrorSuccess;
    for (ssize_t offset = 0; offset < read;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buffer.get() + offset);
      offset += d->d_reclen;
      if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
      Entry entry;
      entry.name = d->d_name;
      entry.type = FromDirentType(d->d_type);
      if (!visit(entry)) return kErrorSuccess;
    }
  }
}

Result<EntryInfo> DirHandle::Stat(const std::filesystem::path& name) const {
  if (!valid()) return Fail(kErrorInvalidHandle);
  struct statx st {};
  if (StatxAt(Fd(native()), name.c_str(), AT_SYMLINK_NOFOLLOW, &st) != 0) {
    return Fail(FromErrno(errno));
  }
  std::uint64_t own_device = 0;
  if ((st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0 && S_ISDIR(st.stx_mode)) {
    struct statx self {};
    if (StatxAt(Fd(native()), "", AT_EMPTY_PATH, &self) == 0) own_device = DeviceOf(self);
  }
  return InfoOf(st, own_device);
}

bool DirHandle::Exists(const std::filesystem::path& name) const {
  if (!valid()) return false;
  struct statx st {};
  return StatxAt(Fd(native()), name.c_str(), AT_SYMLINK_NOFOLLOW, &st) == 0;
}

ErrorCode DirHandle::RemoveFile(const std::filesystem::path& name) const {
  if (!valid()) return kErrorInvalidHandle;
  return g_remove_file.load()(*this, name);
}

ErrorCode DirHandle::RemoveSubdirectory(const std::filesystem::path& name) const {
  if (!valid()) return kErrorInvalidHandle;
  if (::unlinkat(Fd(native()), name.c_str(), AT_REMOVEDIR) == 0) return kErrorSuccess;
  switch (errno) {
    case ENOTEMPTY:
    case EEXIST:
      return kErrorDirNotEmpty;
    case ENOTDIR:
      return kErrorDirectory;
    default:
      return FromErrno(errno);
  }
}

ErrorCode DirHandle::Rename(const std::filesystem::path& from,
                            const std::filesystem::path& to) const {
  if (!valid()) return kErrorInvalidHandle;
  if (::renameat(Fd(native()), from.c_str(), Fd(native()), to.c_str()) != 0) {
    return FromErrno(errno);
  }
  return kErrorSuccess;
}

ErrorCode RealRemoveFile(const DirHandle& dir, const std::filesystem::path& name) {
  if (!dir.valid()) return kErrorInvalidHandle;
  // EISDIR (a directory) reads as access denied, as on Windows.
  if (::unlinkat(Fd(dir.native()), name.c_str(), 0) != 0) return FromErrno(errno);
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
