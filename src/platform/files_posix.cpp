#include "platform/files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <system_error>

#include "platform/diagnostics.h"
#include "platform/posix_util_posix.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform::files {
namespace {

// The folders whose sync the thread's batch owes, when one is alive, each
// held open from its first rename: what gets synced is the folder that took
// the renames, wherever its name leads by then.
thread_local std::map<std::filesystem::path, int>* t_unsynced_folders = nullptr;

// Syncs an open folder; file systems that cannot sync one say EINVAL.
bool SyncFolder(int dir_fd) {
  return posix::RetryAfterSignal([&] { return ::fsync(dir_fd); }) == 0 || errno == EINVAL;
}

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

// One name inside the folder: no folder part, no way up, nothing the kernel
// would cut short.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::uint64_t RandomBits() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) {
    return bits;
  }
  // Only the name's uniqueness matters (O_EXCL keeps it safe): the clock and
  // the process do when the pool is not ready.
  static std::uint64_t counter = 0;
  return static_cast<std::uint64_t>(
             std::chrono::steady_clock::now().time_since_epoch().count()) ^
         (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter;
}

// A hidden name beside the target, short enough for any target name.
std::string TemporaryName(const std::string& name) {
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(RandomBits()));
  return "." + name.substr(0, 64) + suffix + ".tmp";
}

// Writes, syncs and closes the new file; the descriptor is gone either way.
Result<void> FillAndClose(posix::ScopedFd file, std::string_view contents) {
  if (Result<void> written = posix::WriteAll(file.get(), contents); !written) return written;
  if (posix::RetryAfterSignal([&] { return ::fsync(file.get()); }) != 0) {
    return Fail(FromErrno(errno));
  }
  // Some file systems report a failed write-back only here. EINTR still
  // closed the descriptor, and the data had been synced.
  if (::close(file.release()) != 0 && errno != EINTR) return Fail(FromErrno(errno));
  return {};
}

}  // namespace

ErrorCode DeleteAtReboot(const std::filesystem::path& path) {
  if (path.empty()) return kErrorInvalidParameter;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return kErrorInvalidParameter;
  // The pair (source, empty target) is how Windows spells "delete"; the
  // source carries the NT object prefix.
  std::wstring source = L"\\??\\";
  source += text::WideFromPath(absolute.lexically_normal());
  return registry::AppendMultiString(registry::Root::kLocalMachine, kSessionManager,
                                     kPendingRenames, {source, std::wstring()});
}

Result<void> ReplaceWholeFile(const std::filesystem::path& directory,
                         const std::filesystem::path& file_name, std::string_view contents) {
  const std::string& name = file_name.native();
  if (directory.empty() || !IsPlainName(name)) return Fail(kErrorInvalidParameter);

  // The folder itself may be reached through links (the product's folders
  // may be moved that way); from here on everything is relative to it.
  posix::ScopedFd folder(posix::RetryAfterSignal([&] {
    return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!folder) return Fail(errno == ENOENT ? kErrorPathNotFound : FromErrno(errno));
  const int dir_fd = folder.get();

  // Only a file or a link is replaced. A directory, a FIFO, a socket or a
  // device at the name is somebody else's, and nothing here ever opens it.
  struct stat old {};
  bool had_file = false;
  if (::fstatat(dir_fd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode)) return Fail(kErrorAccessDenied);
    had_file = S_ISREG(old.st_mode);
  } else if (errno != ENOENT) {
    return Fail(FromErrno(errno));
  }
  // Our own file keeps its permissions; one that someone else left there
  // gives us nothing (its mode could open ours to them).
  mode_t mode = 0644;
  if (had_file && old.st_uid == ::geteuid()) mode = old.st_mode & 0777;

  std::string temporary;
  posix::ScopedFd file;
  for (int attempt = 0; attempt < 16 && !file; ++attempt) {
    temporary = TemporaryName(name);
    file.reset(posix::RetryAfterSignal([&] {
      return ::openat(dir_fd, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    }));
    if (!file && errno != EEXIST) return Fail(FromErrno(errno));
  }
  if (!file) return Fail(kErrorFileExists);
  // The creation mask must not narrow a mode we keep.
  if (had_file && old.st_uid == ::geteuid()) (void)::fchmod(file.get(), mode);

  Result<void> filled = FillAndClose(std::move(file), contents);
  if (filled && ::renameat(dir_fd, temporary.c_str(), dir_fd, name.c_str()) != 0) {
    // A directory that appeared at the name meanwhile lands here too.
    filled = Fail(errno == EISDIR ? kErrorAccessDenied : FromErrno(errno));
  }
  if (!filled) {
    ::unlinkat(dir_fd, temporary.c_str(), 0);
    return filled;
  }
  // Makes the rename itself durable. The new file is in place by now, whole;
  // a failure here says only that it may not survive a power cut.
  if (t_unsynced_folders != nullptr) {
    if (t_unsynced_folders->count(directory) == 0) {
      const int held = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
      if (held < 0) {
        if (!SyncFolder(dir_fd)) return Fail(FromErrno(errno));
        return {};
      }
      t_unsynced_folders->emplace(directory, held);
    }
    return {};
  }
  if (!SyncFolder(dir_fd)) return Fail(FromErrno(errno));
  return {};
}

DirectorySyncBatch::DirectorySyncBatch() : outermost_(t_unsynced_folders == nullptr) {
  if (outermost_) t_unsynced_folders = new std::map<std::filesystem::path, int>();
}

DirectorySyncBatch::~DirectorySyncBatch() {
  if (!outermost_) return;
  std::map<std::filesystem::path, int>* folders = t_unsynced_folders;
  t_unsynced_folders = nullptr;
  for (const auto& [folder, held] : *folders) {
    const posix::ScopedFd fd(held);
    if (!SyncFolder(fd.get())) {
      diagnostics::Note("folder " + folder.string() + " could not be synced (errno " + std::to_string(errno) +
                        "): files renamed into it may not survive a power cut");
    }
  }
  delete folders;
}

Result<std::filesystem::path> ResolveLinks(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
  if (ec) return Fail(FromErrno(ec.value()));
  return resolved;
}

}  // namespace platform::files
