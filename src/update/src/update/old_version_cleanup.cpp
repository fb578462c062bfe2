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

namespace update {
namespace {

namespace fs = std::filesystem;
using platform::dir_walk::DirHandle;
using platform::dir_walk::EntryInfo;
using platform::dir_walk::EntryType;
using util::filesystem::err;

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

QString ToQString(const fs::path& path) {
  return QString::fromStdWString(base::gstring::FromPath(path));
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

platform::ErrorCode RemoveAs(const DirHandle& parent, const fs::path& name, EntryType type) {
  if (type == EntryType::kDirectory || type == EntryType::kMountPoint) {
    return parent.RemoveDirectory(name);
  }
  return parent.RemoveFile(name);
}

platform::ErrorCode RemoveEntry(const DirHandle& parent, const fs::path& name) {
  EntryInfo info;
  platform::ErrorCode e = parent.Stat(name, &info);
  if (e != 0) return e;
  return RemoveAs(parent, name, info.type);
}

int ForceDeleteAt(const DirHandle& parent, const fs::path& name, const fs::path& full,
                  std::error_code& ec) {
  ec.clear();
  if (!parent.Exists(name)) return 0;
  const platform::ErrorCode removal = RemoveEntry(parent, name);
  if (removal == 0 || removal == platform::kErrorFileNotFound) return 0;
  ec = std::error_code(static_cast<int>(removal), WindowsCategory());

  // A name marked before is left for the reboot that deletes it.
  const std::wstring wide_name = base::gstring::FromPath(name);
  const std::wstring_view head =
      std::wstring_view(wide_name).substr(0, wide_name.size() > 4 ? wide_name.size() - 4 : 0);
  if (head.find(L"~del_") != std::wstring_view::npos) return -10;

  std::random_device random;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const unsigned number = random() & 0xFFFFu;
    const fs::path marked =
        base::gstring::ToPath(fmt::format(L"{}.~del_{:04x}", wide_name, number));
    if (parent.Exists(marked)) RemoveEntry(parent, marked);
    parent.Rename(name, marked);
    if (parent.Exists(marked)) {
      platform::files::DeleteAtReboot(WithoutTrailingSeparator(full).parent_path() / marked);
    }
    EntryInfo info;
    const platform::ErrorCode state = parent.Stat(name, &info);
    if (state != 0) break;  // gone, or its state cannot be read
  }
  return parent.Exists(name) ? -10 : 0;
}

bool RemoveAt(const DirHandle& parent, const fs::path& name, const fs::path& p,
              const RemoveFilter& filter, const RemoveResult& onResult, bool* allRemoved,
              bool checked = false);

// Removes the contents of the directory `name` of `parent`. Returns false when
// a callback asked to stop.
bool RemoveChildren(const DirHandle& parent, const fs::path& name, const EntryInfo& info,
                    const fs::path& p, const RemoveFilter& filter, const RemoveResult& onResult,
                    bool* allRemoved) {
  platform::ErrorCode open_error = 0;
  DirHandle dir = parent.OpenChild(name, &open_error, &info);
  if (!dir) {
    // Swapped or unreadable since it was examined: the removal below acts on
    // whatever the name is now, and a link is only unlinked.
    return true;
  }
  // Read the whole listing first: removing entries while reading it may make
  // the listing skip others.
  std::vector<fs::path> names;
  const platform::ErrorCode list_error = dir.List([&names](const platform::dir_walk::Entry& e) {
    names.push_back(e.name);
    return true;
  });
  if (list_error != 0) {
    qCWarning(lc_update) << "failed to list directory: " << ToQString(p) << "error:" << list_error;
  }
  bool children_removed = true;
  for (const fs::path& child : names) {
    bool child_removed = true;
    if (!RemoveAt(dir, child, p / child, filter, onResult, &child_removed)) return false;
    if (!child_removed) children_removed = false;
  }
  if (!children_removed) *allRemoved = false;
  return true;
}

// `checked`: the caller has already refused protected paths and asked the
// filter about `p`.
bool RemoveAt(const DirHandle& parent, const fs::path& name, const fs::path& p,
              const RemoveFilter& filter, const RemoveResult& onResult, bool* allRemoved,
              bool checked) {
  EntryInfo info;
  if (parent.Stat(name, &info) == platform::kErrorFileNotFound) {
    return onResult(p, true, err::kNotFound);
  }
  // Below the top no protected folder can appear: the top is refused when it
  // holds one, and links are never followed out of it.
  if (!checked && !filter(p)) {
    *allRemoved = false;
    return true;
  }
  if (info.type == EntryType::kDirectory) {
    bool children_removed = true;
    if (!RemoveChildren(parent, name, info, p, filter, onResult, &children_removed)) return false;
    if (!children_removed) {
      *allRemoved = false;
      return true;
    }
  }
  // The type may have changed since it was examined (a folder swapped for a
  // link): a failed removal is retried once on what the name is now.
  platform::ErrorCode removal = RemoveAs(parent, name, info.type);
  if (removal != 0 && removal != platform::kErrorFileNotFound) removal = RemoveEntry(parent, name);
  const bool removed = removal == 0 || !parent.Exists(name);
  if (!removed) *allRemoved = false;
  const Frame frame{&parent, &name, &p};
  FrameScope scope(&frame);
  return onResult(p, removed, removed ? err::kRemoved : err::kStillPresent);
}

}  // namespace

bool NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return platform::text::CompareNoCase(a, b) < 0;
}

const FolderSet& ProtectedFolders() {
  static const FolderSet folders = [] {
    FolderSet set;
    for (const std::wstring& folder : platform::dir_walk::SystemFolders()) {
      std::wstring value = StripFolder(folder);
      if (!value.empty()) set.insert(std::move(value));
    }
    return set;
  }();
  return folders;
}

bool RemovePath(const fs::path& path, const RemoveFilter& filter, const RemoveResult& onResult,
                bool* allRemoved) {
  bool ignored = true;
  if (allRemoved == nullptr) allRemoved = &ignored;
  std::error_code ec;
  // A dangling link exists too: it is the link that gets removed.
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) {
    return onResult(path, true, err::kNotFound);
  }
  const fs::path p = vm::utils::NormalizePath(path);
  if (base::gstring::FromPath(p).size() <= 3) return onResult(path, false, err::kRefused);
  fs::path target = WithoutTrailingSeparator(p);
  if (target.filename() == "." || target.filename() == "..") {
    // A relative path climbing up names a folder above: check and remove it
    // under its real name, not as "..".
    const fs::path full = fs::weakly_canonical(target, ec);
    if (ec || base::gstring::FromPath(full).size() <= 3) {
      return onResult(path, false, err::kRefused);
    }
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
  DirHandle parent = DirHandle::Open(parent_path);
  if (!parent) {
    *allRemoved = false;
    return onResult(p, false, err::kStillPresent);
  }
  return RemoveAt(parent, target.filename(), p, filter, onResult, allRemoved, true);
}

int ForceDeleteFile(const fs::path& path, std::error_code& ec) {
  ec.clear();
  if (t_frame != nullptr && *t_frame->path == path) {
    return ForceDeleteAt(*t_frame->parent, *t_frame->name, *t_frame->path, ec);
  }
  const fs::path target = WithoutTrailingSeparator(vm::utils::NormalizePath(path));
  DirHandle parent = DirHandle::Open(ResolvedParent(target));
  if (!parent) {
    std::error_code status_ec;
    return fs::symlink_status(path, status_ec).type() == fs::file_type::not_found ? 0 : -10;
  }
  return ForceDeleteAt(parent, target.filename(), target, ec);
}

}  // namespace update
