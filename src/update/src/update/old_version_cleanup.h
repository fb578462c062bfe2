// Removal helpers of the old-version cleanup. General routines: they refuse
// root-level and protected folders, never follow a symbolic link or enter a
// mount point, and hand every outcome to the caller's callback.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <system_error>

namespace util::filesystem {

// Outcome codes handed to RemovePath's result callback.
enum err : int {
  kRemoved = 0,
  kStillPresent = -10,  // still there after the attempt
  kNotFound = -13,      // did not exist
  kRefused = -14,       // root-level or protected path: left untouched
};

}  // namespace util::filesystem

namespace update {

using RemoveFilter = std::function<bool(const std::filesystem::path&)>;
using RemoveResult = std::function<bool(const std::filesystem::path&, bool, util::filesystem::err)>;

// Removes a file or a directory tree. `filter` returns false for a path that
// must stay (its parents then stay too); `onResult(path, removed, err)` hears
// the outcome of each path and returns whether to go on. The folders leading
// to `path` are the caller's and are resolved as usual; `path` itself and
// every link or mount point met below it are removed themselves, never
// followed. *allRemoved is cleared when anything stays. Returns false only
// when a callback asked to stop.
bool RemovePath(const std::filesystem::path& path, const RemoveFilter& filter,
                const RemoveResult& onResult, bool* allRemoved);

// Removes a file; when it cannot be removed, moves it to "<name>.~del_XXXX"
// and schedules that for deletion at reboot. kRemoved (0) when the path is
// gone (or never existed), kStillPresent (-10) when it is still there (also
// for a name already marked).
int ForceDeleteFile(const std::filesystem::path& path, std::error_code& ec);
// The same; *marked receives the path the file was moved to when it was
// moved aside for deletion at reboot, and is emptied otherwise.
int ForceDeleteFile(const std::filesystem::path& path, std::error_code& ec,
                    std::filesystem::path* marked);

// Adds up what the removals on this thread free while it lives: the bytes of
// every file they remove (a file that keeps another name frees nothing).
// Each file's size is read just before it is removed, as nothing tells it
// after. Scopes nest; the innermost one counts.
class FreedBytes {
 public:
  FreedBytes();
  ~FreedBytes();
  FreedBytes(const FreedBytes&) = delete;
  FreedBytes& operator=(const FreedBytes&) = delete;

  std::uint64_t bytes() const { return bytes_; }

 private:
  std::uint64_t bytes_ = 0;
  std::uint64_t* previous_;
};

// Holds a folder open while it is removed. The folder is opened once, without
// following a link in its last component; while this object lives, every
// RemovePath and ForceDeleteFile on this thread for the folder or a path below
// it acts through that handle instead of resolving the path again, so a folder
// swapped for a link afterwards changes nothing outside it. When the folder
// was already a link (or missing), paths below it are reported as not found
// and the folder itself is removed as the link it is. When something is
// mounted on the folder, nothing below it is removed (kRefused). Scopes nest;
// the innermost one covering a path wins.
class HeldFolder {
 public:
  explicit HeldFolder(const std::filesystem::path& folder);
  ~HeldFolder();
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  // Whether the folder was a real directory when it was opened.
  bool held() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

struct NoCaseLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};
using FolderSet = std::set<std::wstring, NoCaseLess>;

// The folders RemovePath refuses, built once on first use.
const FolderSet& ProtectedFolders();

namespace internal {
// The file-local cleanup of the restart, reachable for tests.
void ClearOldVersionForTesting();
// Builds the protected folders again from the environment as it is now.
void RebuildProtectedFoldersForTesting();
}  // namespace internal

}  // namespace update
