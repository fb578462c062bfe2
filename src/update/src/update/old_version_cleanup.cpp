#include "update/old_version_cleanup.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <QDebug>
#include <QString>
#include <random>
#include <vector>

#include "base/gstring.h"
#include "emulator/shared/utils/vm_utils.h"
#include "platform/dir_walk.h"
#include "platform/files.h"
#include "platform/text.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/qdebug_path.h"

namespace update {
namespace {

namespace fs = std::filesystem;
using platform::dir_walk::DirHandle;
using platform::dir_walk::EntryInfo;
using platform::dir_walk::EntryType;
using platform::Result;
using util::filesystem::err;

// A path of this many characters or fewer names a drive or a top-level folder
// ("C:\", "/", "/ab"): never removed.
constexpr std::size_t kLongestRootLevelPath = 3;
// Names tried when a file that cannot be removed is moved aside; a clash with
// an earlier marked name takes another random number.
constexpr int kMarkAttempts = 10;
constexpr unsigned kMarkNumberMask = 0xFFFFu;  // four hex digits

// Removal errors are Windows numbers; give them a category of their own so an
// error_code never reads them as errno values.
class WindowsErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "windows"; }
  std::string message(int code) const override { return fmt::format("error {}", code); }
};

const std::error_category& WindowsCategory() {
  static const WindowsErrorCategory category;
  return category;
}


// Strips a leading \\?\ or \\.\ and one trailing separator.
std::wstring StripFolder(std::wstring value) {
  if (value.size() > 4 && (value.compare(0, 4, L"\\\\?\\") == 0 ||
                           value.compare(0, 4, L"\\\\.\\") == 0)) {
    value.erase(0, 4);
  }
  if (!value.empty() && (value.back() == L'\\' || value.back() == L'/')) value.pop_back();
  return value;
}

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// The walk frame whose result callback is running: ForceDeleteFile called from
// that callback for the same path acts through the walk's open parent
// directory instead of resolving the path again, so a folder swapped for a
// link in the meantime cannot redirect it.
struct Frame {
  const DirHandle* parent = nullptr;
  const fs::path* name = nullptr;
  const fs::path* path = nullptr;
};
thread_local const Frame* t_frame = nullptr;

class FrameScope {
 public:
  explicit FrameScope(const Frame* frame) : previous_(t_frame) { t_frame = frame; }
  ~FrameScope() { t_frame = previous_; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  const Frame* previous_;
};

// True when `p` is a protected folder or holds one: removing it would remove
// the protected folder with it.
bool IsProtectedOrHoldsProtected(const fs::path& p) {
  const std::wstring text = StripFolder(base::gstring::FromPath(p));
  if (ProtectedFolders().count(text) != 0) return true;
  for (const std::wstring& folder : ProtectedFolders()) {
    if (folder.size() > text.size() && IsSeparator(folder[text.size()]) &&
        platform::text::CompareNoCase(std::wstring_view(folder).substr(0, text.size()), text) ==
            0) {
      return true;
    }
  }
  return false;
}

bool IsRootLevel(const fs::path& p) {
  return base::gstring::FromPath(p).size() <= kLongestRootLevelPath;
}

// The path without one trailing separator, so that its last component names
// the entry itself.
fs::path WithoutTrailingSeparator(const fs::path& p) {
  if (p.has_relative_path() && p.filename().empty()) return p.parent_path();
  return p;
}

// The folder holding `target`, with links resolved. The caller named that
// folder, links and all (an install root moved elsewhere and linked back is
// still the install root); only what lies below it is never followed.
fs::path ResolvedParent(const fs::path& target) {
  const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(parent, ec);
  return ec || resolved.empty() ? parent : resolved;
}

FolderSet BuildProtectedFolders() {
  FolderSet set;
  for (const std::wstring& folder : platform::dir_walk::SystemFolders()) {
    std::wstring value = StripFolder(folder);
    if (value.empty()) continue;
    // Also under its resolved name: "/a//b", "/a/./b" and a path through a
    // link all name the folder that candidates are resolved to.
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(base::gstring::ToPath(value), ec);
    if (!ec && !resolved.empty()) {
      std::wstring resolved_text = StripFolder(base::gstring::FromPath(resolved.lexically_normal()));
      if (!resolved_text.empty()) set.insert(std::move(resolved_text));
    }
    set.insert(std::move(value));
  }
  return set;
}

FolderSet& ProtectedFolderStorage() {
  static FolderSet folders = BuildProtectedFolders();
  return folders;
}

// Where an entry is: the open directory holding it and its name there.
struct Location {
  const DirHandle* parent = nullptr;
  fs::path name;
  // The entry's own handle when the caller already holds it open.
  const Result<DirHandle>* opened = nullptr;
  DirHandle owned_parent;  // set when `parent` was opened for this lookup
};

}  // namespace

struct HeldFolder::State {
  fs::path path;      // as callers name it: normalised, no trailing separator
  fs::path resolved;  // the same with the folders above it resolved
  Result<DirHandle> parent = platform::Fail(platform::kErrorInvalidHandle);
  Result<DirHandle> dir = platform::Fail(platform::kErrorInvalidHandle);
  std::uint64_t parent_device = 0;
  // Something is mounted on the folder: what shows through it is not the
  // folder's, and nothing of it is removed.
  bool mount_root = false;
  const State* previous = nullptr;
};

namespace {

thread_local const HeldFolder::State* t_held = nullptr;

// The innermost held folder that is `target` or holds it, and the path of
// `target` relative to it ("." for the folder itself).
const HeldFolder::State* CoveringHeld(const fs::path& target, fs::path* relative) {
  for (const HeldFolder::State* held = t_held; held != nullptr; held = held->previous) {
    const fs::path rel = target.lexically_relative(held->path);
    if (rel.empty() || *rel.begin() == "..") continue;
    *relative = rel;
    return held;
  }
  return nullptr;
}

// Finds `relative` below `held` through its handle, one component at a time,
// never following a link. kErrorFileNotFound when a folder on the way is
// missing, a link or no directory: there is no such entry inside the folder.
platform::ErrorCode LocateInHeld(const HeldFolder::State& held, const fs::path& relative,
                                 Location* out) {
  if (relative == ".") {
    if (!held.parent) return held.parent.error();
    out->parent = &*held.parent;
    out->name = held.path.filename();
    out->opened = &held.dir;
    return platform::kErrorSuccess;
  }
  if (!held.dir) {
    return held.dir.error() == platform::kErrorDirectory ? platform::kErrorFileNotFound
                                                         : held.dir.error();
  }
  const DirHandle* current = &*held.dir;
  std::vector<fs::path> parts(relative.begin(), relative.end());
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    Result<DirHandle> next = current->OpenChild(parts[i]);
    if (!next) {
      return next.error() == platform::kErrorDirectory ? platform::kErrorFileNotFound
                                                       : next.error();
    }
    out->owned_parent = std::move(*next);
    current = &out->owned_parent;
  }
  out->parent = current;
  out->name = parts.back();
  return platform::kErrorSuccess;
}

platform::ErrorCode RemoveEntry(const DirHandle& parent, const fs::path& name) {
  const Result<EntryInfo> info = parent.Stat(name);
  if (!info) return info.error();
  if (info->type == EntryType::kDirectory || info->type == EntryType::kMountPoint) {
    return parent.RemoveSubdirectory(name);
  }
  return parent.RemoveFile(name);
}

int ForceDeleteAt(const DirHandle& parent, const fs::path& name, const fs::path& full,
                  std::error_code& ec) {
  ec.clear();
  if (!parent.Exists(name)) return err::kRemoved;
  const platform::ErrorCode removal = RemoveEntry(parent, name);
  if (removal == 0 || removal == platform::kErrorFileNotFound) return err::kRemoved;
  ec = std::error_code(static_cast<int>(removal), WindowsCategory());

  // A name marked before is left for the reboot that deletes it.
  const std::wstring wide_name = base::gstring::FromPath(name);
  const std::wstring_view head =
      std::wstring_view(wide_name).substr(0, wide_name.size() > 4 ? wide_name.size() - 4 : 0);
  if (head.find(L"~del_") != std::wstring_view::npos) return err::kStillPresent;

  std::random_device random;
  for (int attempt = 0; attempt < kMarkAttempts; ++attempt) {
    const unsigned number = random() & kMarkNumberMask;
    const fs::path marked =
        base::gstring::ToPath(fmt::format(L"{}.~del_{:04x}", wide_name, number));
    if (parent.Exists(marked)) RemoveEntry(parent, marked);
    parent.Rename(name, marked);
    if (parent.Exists(marked)) {
      platform::files::DeleteAtReboot(WithoutTrailingSeparator(full).parent_path() / marked);
    }
    if (!parent.Stat(name)) break;  // gone, or its state cannot be read
  }
  return parent.Exists(name) ? err::kStillPresent : err::kRemoved;
}

struct Walk {
  const RemoveFilter& filter;
  const RemoveResult& onResult;
};

bool RemoveAt(const DirHandle& parent, std::uint64_t parent_device, const fs::path& name,
              EntryType hint, const fs::path& p, const Walk& walk, bool* allRemoved,
              bool checked = false, const Result<DirHandle>* opened = nullptr);

// Empties the open directory `dir` (path `p`). Returns false when a callback
// asked to stop; clears *childrenRemoved when anything stays.
bool RemoveChildren(const DirHandle& dir, std::uint64_t device, const fs::path& p,
                    const Walk& walk, bool* childrenRemoved) {
  // Read the whole listing first: removing entries while reading it may make
  // the listing skip others.
  std::vector<platform::dir_walk::Entry> entries;
  const platform::ErrorCode list_error = dir.List([&entries](const platform::dir_walk::Entry& e) {
    entries.push_back(e);
    return true;
  });
  if (list_error != 0) {
    qCWarning(lc_update) << "failed to list directory: " << p << "error:" << list_error;
    *childrenRemoved = false;
  }
  for (const platform::dir_walk::Entry& child : entries) {
    if (!RemoveAt(dir, device, child.name, child.type, p / child.name, walk, childrenRemoved)) {
      return false;
    }
  }
  return true;
}

// Removes `name` of `parent` (path `p`). `hint` is the type the listing gave:
// a file or link is unlinked straight away, the way rm does, and only an
// unlink refused because the entry is a directory after all (or a listing
// that gave no type) leads to opening it. A directory is opened without
// following links and told to be a mount point from the handle itself, so
// what gets emptied is always what was checked. `checked`: the caller has
// already refused protected paths and asked the filter about `p`. `opened`:
// the entry's handle when the caller holds it open already.
bool RemoveAt(const DirHandle& parent, std::uint64_t parent_device, const fs::path& name,
              EntryType hint, const fs::path& p, const Walk& walk, bool* allRemoved,
              bool checked, const Result<DirHandle>* opened) {
  if (!checked && !walk.filter(p)) {
    *allRemoved = false;
    return true;
  }
  platform::ErrorCode removal = platform::kErrorSuccess;
  bool tried_as_file = false;
  const bool listed_as_directory =
      hint == EntryType::kDirectory || hint == EntryType::kMountPoint || opened != nullptr;
  if (!listed_as_directory) {
    removal = parent.RemoveFile(name);
    if (removal == platform::kErrorFileNotFound) return walk.onResult(p, true, err::kNotFound);
    tried_as_file = true;
  }
  // A file removal refused as "access denied" may have met a directory.
  if (listed_as_directory || removal == platform::kErrorAccessDenied) {
    Result<DirHandle> own = opened != nullptr
                                ? Result<DirHandle>(platform::Fail(platform::kErrorInvalidHandle))
                                : parent.OpenChild(name);
    const Result<DirHandle>& dir = opened != nullptr ? *opened : own;
    if (dir) {
      const Result<EntryInfo> self = dir->Identify();
      if (!self || self->type == EntryType::kMountPoint ||
          (parent_device != 0 && self->device != parent_device)) {
        // Another mount (a bind mount of this very file system included), or
        // a directory that cannot be told: never entered, never emptied.
        removal = platform::kErrorSharingViolation;
      } else {
        bool children_removed = true;
        if (!RemoveChildren(*dir, self->device, p, walk, &children_removed)) return false;
        if (!children_removed) {
          *allRemoved = false;
          return true;
        }
        removal = parent.RemoveSubdirectory(name);
        // Swapped for a link since it was opened: the link is what goes.
        if (removal == platform::kErrorDirectory) removal = parent.RemoveFile(name);
      }
    } else if (dir.error() == platform::kErrorFileNotFound) {
      return walk.onResult(p, true, err::kNotFound);
    } else if (dir.error() == platform::kErrorDirectory) {
      // A link or a file after all (or since the listing): removed as what
      // it is, never followed. After a refused file removal it stays refused.
      if (!tried_as_file) removal = parent.RemoveFile(name);
    } else if (!tried_as_file) {
      // A folder that cannot be opened cannot be listed: it stays unless it
      // is empty.
      qCWarning(lc_update) << "failed to list directory: " << p
                           << "error:" << dir.error();
      removal = parent.RemoveSubdirectory(name);
    }
  }
  const bool removed = removal == platform::kErrorSuccess ||
                       removal == platform::kErrorFileNotFound || !parent.Exists(name);
  if (!removed) *allRemoved = false;
  const Frame frame{&parent, &name, &p};
  FrameScope scope(&frame);
  return walk.onResult(p, removed, removed ? err::kRemoved : err::kStillPresent);
}

std::uint64_t DeviceOf(const DirHandle& dir) {
  const Result<EntryInfo> info = dir.Identify();
  return info ? info->device : 0;
}

// RemovePath for a path at or below a held folder: found through the held
// handle, never by resolving the path again.
bool RemoveHeldPath(const HeldFolder::State& held, const fs::path& relative, const fs::path& path,
                    const fs::path& p, const Walk& walk, bool* allRemoved) {
  if (held.mount_root && relative != ".") return walk.onResult(path, false, err::kRefused);
  Location where;
  const platform::ErrorCode located = LocateInHeld(held, relative, &where);
  if (located == platform::kErrorFileNotFound) return walk.onResult(path, true, err::kNotFound);
  EntryType hint = EntryType::kDirectory;
  if (located == 0 && where.opened == nullptr) {
    const Result<EntryInfo> info = where.parent->Stat(where.name);
    if (info.error() == platform::kErrorFileNotFound) {
      return walk.onResult(path, true, err::kNotFound);
    }
    hint = info ? info->type : EntryType::kUnknown;
  }
  if (where.opened != nullptr && where.opened->error() == platform::kErrorFileNotFound) {
    return walk.onResult(path, true, err::kNotFound);
  }
  const fs::path target = held.path / relative;
  if (IsRootLevel(p) || IsProtectedOrHoldsProtected(target) ||
      IsProtectedOrHoldsProtected((held.resolved / relative).lexically_normal())) {
    return walk.onResult(path, false, err::kRefused);
  }
  if (!walk.filter(p)) {
    *allRemoved = false;
    return true;
  }
  if (located != 0) {
    *allRemoved = false;
    return walk.onResult(p, false, err::kStillPresent);
  }
  const std::uint64_t device =
      where.opened != nullptr ? held.parent_device : DeviceOf(*where.parent);
  return RemoveAt(*where.parent, device, where.name, hint, p, walk, allRemoved, true,
                  where.opened);
}

}  // namespace

bool NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return platform::text::CompareNoCase(a, b) < 0;
}

const FolderSet& ProtectedFolders() { return ProtectedFolderStorage(); }

HeldFolder::HeldFolder(const fs::path& folder) : state_(std::make_unique<State>()) {
  state_->path = WithoutTrailingSeparator(vm::utils::NormalizePath(folder));
  const fs::path parent_path = ResolvedParent(state_->path);
  state_->resolved = parent_path / state_->path.filename();
  state_->parent = DirHandle::Open(parent_path);
  if (state_->parent) {
    state_->parent_device = DeviceOf(*state_->parent);
    state_->dir = state_->parent->OpenChild(state_->path.filename());
    if (state_->dir) {
      const Result<EntryInfo> self = state_->dir->Identify();
      state_->mount_root = !self || self->type == EntryType::kMountPoint ||
                           self->device != state_->parent_device;
    }
  }
  state_->previous = t_held;
  t_held = state_.get();
}

HeldFolder::~HeldFolder() {
  // Scopes end in the reverse order of their start.
  t_held = state_->previous;
}

bool HeldFolder::held() const { return state_->dir.ok(); }

bool RemovePath(const fs::path& path, const RemoveFilter& filter, const RemoveResult& onResult,
                bool* allRemoved) {
  bool ignored = true;
  if (allRemoved == nullptr) allRemoved = &ignored;
  const Walk walk{filter, onResult};
  const fs::path p = vm::utils::NormalizePath(path);
  fs::path relative;
  if (const HeldFolder::State* held = CoveringHeld(WithoutTrailingSeparator(p), &relative)) {
    return RemoveHeldPath(*held, relative, path, p, walk, allRemoved);
  }
  std::error_code ec;
  // A dangling link exists too: it is the link that gets removed.
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) {
    return onResult(path, true, err::kNotFound);
  }
  if (IsRootLevel(p)) return onResult(path, false, err::kRefused);
  fs::path target = WithoutTrailingSeparator(p);
  if (target.filename() == "." || target.filename() == "..") {
    // A relative path climbing up names a folder above: check and remove it
    // under its real name, not as "..".
    const fs::path full = fs::weakly_canonical(target, ec);
    if (ec || IsRootLevel(full)) return onResult(path, false, err::kRefused);
    target = full;
  }
  if (IsProtectedOrHoldsProtected(target)) return onResult(path, false, err::kRefused);
  // The same check on the resolved location, so that a path reaching a
  // protected folder through a linked parent is refused as well.
  const fs::path parent_path = ResolvedParent(target);
  if (IsProtectedOrHoldsProtected(parent_path / target.filename())) {
    return onResult(path, false, err::kRefused);
  }
  if (!filter(p)) {
    *allRemoved = false;
    return true;
  }
  const Result<DirHandle> parent = DirHandle::Open(parent_path);
  if (!parent) {
    *allRemoved = false;
    return onResult(p, false, err::kStillPresent);
  }
  const Result<EntryInfo> info = parent->Stat(target.filename());
  if (info.error() == platform::kErrorFileNotFound) return onResult(p, true, err::kNotFound);
  return RemoveAt(*parent, DeviceOf(*parent), target.filename(),
                  info ? info->type : EntryType::kUnknown, p, walk, allRemoved, true);
}

int ForceDeleteFile(const fs::path& path, std::error_code& ec) {
  ec.clear();
  if (t_frame != nullptr && *t_frame->path == path) {
    return ForceDeleteAt(*t_frame->parent, *t_frame->name, *t_frame->path, ec);
  }
  const fs::path target = WithoutTrailingSeparator(vm::utils::NormalizePath(path));
  fs::path relative;
  if (const HeldFolder::State* held = CoveringHeld(target, &relative)) {
    if (held->mount_root && relative != ".") return err::kStillPresent;
    Location where;
    const platform::ErrorCode located = LocateInHeld(*held, relative, &where);
    if (located == platform::kErrorFileNotFound) return err::kRemoved;
    if (located != 0) return err::kStillPresent;
    return ForceDeleteAt(*where.parent, where.name, target, ec);
  }
  const Result<DirHandle> parent = DirHandle::Open(ResolvedParent(target));
  if (!parent) {
    std::error_code status_ec;
    return fs::symlink_status(path, status_ec).type() == fs::file_type::not_found
               ? err::kRemoved
               : err::kStillPresent;
  }
  return ForceDeleteAt(*parent, target.filename(), target, ec);
}

namespace internal {
void RebuildProtectedFoldersForTesting() { ProtectedFolderStorage() = BuildProtectedFolders(); }
}  // namespace internal

}  // namespace update
