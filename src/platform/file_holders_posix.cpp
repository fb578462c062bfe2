// Holders of a file on Linux: every process's descriptors (the links of
// /proc/<pid>/fd) and mappings (/proc/<pid>/maps). A process may have the
// file open under another name (a bind mount, a second name in another
// folder) or mapped with its descriptor closed (a loaded library), so both
// are asked.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_holders.h"
#include "platform/posix_util_posix.h"
#include "platform/proc_parse.h"
#include "platform/proc_read_posix.h"
#include "platform/system_text.h"

namespace platform::file_holders {
namespace {

namespace fs = std::filesystem;

// The maps of a process with thousands of mappings run to a few MiB.
constexpr std::size_t kMapsLimit = 16 * kSystemTextLimit;
// A process with very many descriptors is checked against the deadline
// between batches of this many, not only between processes.
constexpr unsigned kDescriptorsPerDeadlineCheck = 256;

// The file as the kernel shows it: its path with the folders resolved, and
// its identity.
struct Target {
  std::string path;
  std::string_view name;  // the last component of `path`
  bool identified = false;
  dev_t device = 0;
  ino_t inode = 0;
};

Target TargetOf(const fs::path& file) {
  Target target;
  std::error_code ec;
  const fs::path folder =
      fs::weakly_canonical(file.has_parent_path() ? file.parent_path() : fs::path("."), ec);
  target.path = (ec || folder.empty() ? file : folder / file.filename()).string();
  target.name = proc::FileNameOf(target.path);
  struct stat st;
  if (::lstat(file.c_str(), &st) == 0) {
    target.identified = true;
    target.device = st.st_dev;
    target.inode = st.st_ino;
  }
  return target;
}

bool SameFile(const struct stat& st, const Target& target) {
  return target.identified && st.st_dev == target.device && st.st_ino == target.inode;
}

// Descriptor `name` of the open fd folder `fds` leads to the target. A link
// that names the file's path is it; one that names another path ending in
// the same name may be the same file reached another way, which its
// identity tells. A path marked " (deleted)" is an earlier file of that name.
bool DescriptorHolds(int fds, const char* name, const Target& target) {
  char link[PATH_MAX];
  const ssize_t n = ::readlinkat(fds, name, link, sizeof link);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) return false;
  const std::string_view text(link, static_cast<std::size_t>(n));
  if (text == target.path) return true;
  if (proc::FileNameOf(text) != target.name) return false;
  struct stat st;
  return ::fstatat(fds, name, &st, 0) == 0 && SameFile(st, target);
}

bool MappingHolds(const proc::MappedFile& mapping, const Target& target) {
  if (target.identified && mapping.inode == target.inode &&
      makedev(mapping.major, mapping.minor) == target.device) {
    return true;
  }
  // Overlay file systems show a mapping with the identity of the file
  // beneath, under the path it was opened by.
  return !mapping.marked_deleted && mapping.path == target.path;
}

enum class Answer { kNo, kYes, kLate };

Answer OpenIn(int proc, const std::string& pid, const Target& target, std::uint64_t deadline) {
  const int fd_folder = posix::RetryAfterSignal([&] {
    return ::openat(proc, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd_folder < 0) return Answer::kNo;  // ended, or not ours to look at
  std::unique_ptr<DIR, int (*)(DIR*)> fds(::fdopendir(fd_folder), &::closedir);
  if (!fds) {
    ::close(fd_folder);
    return Answer::kNo;
  }
  unsigned seen = 0;
  while (const dirent* entry = ::readdir(fds.get())) {
    if (entry->d_name[0] == '.') continue;
    if (DescriptorHolds(fd_folder, entry->d_name, target)) return Answer::kYes;
    if (++seen % kDescriptorsPerDeadlineCheck == 0 && TickCount64() >= deadline) {
      return Answer::kLate;
    }
  }
  return Answer::kNo;
}

bool MappedIn(const std::string& pid_folder, const Target& target) {
  const Result<std::string> maps = ReadSystemText(pid_folder + "/maps", kMapsLimit);
  if (!maps) return false;
  const std::vector<proc::MappedFile> files = proc::ParseMappedFiles(*maps);
  return std::any_of(files.begin(), files.end(),
                     [&](const proc::MappedFile& m) { return MappingHolds(m, target); });
}

}  // namespace

Result<HolderSearch> FindFileHolders(const fs::path& file, std::uint64_t deadline) {
  constexpr char kProc[] = "/proc";
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(kProc), &::closedir);
  if (!listing) return Fail(FromErrno(errno));
  const int proc = ::dirfd(listing.get());
  std::vector<std::string> pids;
  while (const dirent* entry = ::readdir(listing.get())) {
    const char* name = entry->d_name;
    if (*name < '1' || *name > '9') continue;
    char* end = nullptr;
    const unsigned long pid = std::strtoul(name, &end, 10);
    if (*end == '\0' && pid <= 0xFFFFFFFFul) pids.emplace_back(name);
  }

  // Descriptors first, of every process: a file in the way is most often
  // open, and they cost less to read than the maps, which come second for
  // the processes not found yet. Under a deadline that is the better use of
  // the time.
  const Target target = TargetOf(file);
  HolderSearch search;
  std::vector<bool> holds(pids.size(), false);
  for (std::size_t i = 0; i < pids.size() && !search.gave_up; ++i) {
    const Answer open =
        TickCount64() >= deadline ? Answer::kLate : OpenIn(proc, pids[i], target, deadline);
    search.gave_up = open == Answer::kLate;
    holds[i] = open == Answer::kYes;
  }
  for (std::size_t i = 0; i < pids.size() && !search.gave_up; ++i) {
    if (holds[i]) continue;
    if (TickCount64() >= deadline) {
      search.gave_up = true;
      break;
    }
    holds[i] = MappedIn(std::string(kProc) + "/" + pids[i], target);
  }
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (!holds[i]) continue;
    Holder holder{static_cast<Pid>(std::strtoul(pids[i].c_str(), nullptr, 10)),
                  posix::ImageNameOf(std::string(kProc) + "/" + pids[i])};
    // Ended since: it holds nothing any more.
    if (!holder.image.empty()) search.holders.push_back(std::move(holder));
  }
  std::sort(search.holders.begin(), search.holders.end(),
            [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return search;
}

}  // namespace platform::file_holders
