// Descriptor-relative directory operations for removing trees safely.
//
// A walk that resolves paths again at every step can be redirected: swap a
// subfolder for a symbolic link between the listing and the removal, and a
// path-based removal deletes whatever the link points at. Every operation here
// works relative to an open directory handle and never follows a symbolic link
// in the last component, so once a walk holds a directory it can only ever act
// on entries below it. A directory that is the root of a mount (another file
// system, or a bind mount of the same one) is told by what the kernel says of
// the handle, never by comparing devices alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/result.h"
#include "platform/scoped_generic.h"

namespace platform::dir_walk {

enum class EntryType {
  kUnknown,     // the listing did not say; try it as a file first
  kFile,        // regular file or anything else that is not a directory or link
  kDirectory,   // a directory (from a listing: may still turn out to be a mount point)
  kSymlink,     // a symbolic link (never followed)
  kMountPoint,  // the root of a mount: never entered, never emptied
};

struct EntryInfo {
  EntryType type = EntryType::kUnknown;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

struct Entry {
  std::filesystem::path name;  // a single component
  // As the listing gives it, without examining the entry: a link is kSymlink,
  // a directory kDirectory even when something is mounted on it.
  EntryType type = EntryType::kUnknown;
};

// The backend's handle of an open directory: a descriptor on POSIX, a HANDLE
// on Windows; -1 is none on both.
struct DirHandleTraits {
  static std::intptr_t InvalidValue() { return -1; }
  static void Free(std::intptr_t handle);
};

// Owner of one open directory. Move-only; closes on destruction.
class DirHandle {
 public:
  DirHandle() = default;

  // Opens `path` as a directory. The intermediate components are resolved as
  // usual (they are the caller's trusted prefix); the last one must be a real
  // directory: a link or a file there fails with kErrorDirectory.
  static Result<DirHandle> Open(const std::filesystem::path& path);

  bool valid() const { return handle_.is_valid(); }
  explicit operator bool() const { return valid(); }

  // Opens the child directory `name`: kErrorDirectory when the entry is a
  // link or not a directory (never followed). When `expected` is given, also
  // fails with kErrorAccessDenied unless the opened directory is that very
  // device/inode (so an entry swapped after it was examined is not entered).
  Result<DirHandle> OpenChild(const std::filesystem::path& name,
                              const EntryInfo* expected = nullptr) const;

  // The directory itself, from the handle: kMountPoint when it is the root of
  // a mount, kDirectory otherwise. One system call.
  Result<EntryInfo> Identify() const;

  // Lists the entries (without "." and ".."), calling `visit` until it returns
  // false. Entries are not examined: their type is the listing's. An error
  // while reading ends the listing and is returned; the entries seen so far
  // have been visited.
  ErrorCode List(const std::function<bool(const Entry&)>& visit) const;

  // Examines `name` without following it (kErrorFileNotFound when missing).
  Result<EntryInfo> Stat(const std::filesystem::path& name) const;
  bool Exists(const std::filesystem::path& name) const;

  // Removes the file or link `name` (never what a link points at). A
  // directory is not removed: kErrorAccessDenied, as a file removal of a
  // directory gives on Windows.
  ErrorCode RemoveFile(const std::filesystem::path& name) const;
  // Removes the empty directory `name`: kErrorDirNotEmpty when it is not
  // empty, kErrorDirectory when it is a link or a file, kErrorSharingViolation
  // when something is mounted on it.
  ErrorCode RemoveSubdirectory(const std::filesystem::path& name) const;
  // Renames within this directory, replacing an existing `to`.
  ErrorCode Rename(const std::filesystem::path& from, const std::filesystem::path& to) const;

 private:
  friend ErrorCode RealRemoveFile(const DirHandle& dir, const std::filesystem::path& name);
  explicit DirHandle(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t native() const { return handle_.get(); }

  ScopedGeneric<std::intptr_t, DirHandleTraits> handle_;
  // Whether the listing position has moved (a second List starts over).
  mutable bool listed_ = false;
};

// The remove step for files and links, replaceable so tests can make a file
// impossible to delete the way a file held open by a process is on Windows.
using RemoveFileFunction = ErrorCode (*)(const DirHandle& dir, const std::filesystem::path& name);
ErrorCode RealRemoveFile(const DirHandle& dir, const std::filesystem::path& name);
// Installs `fn` (null restores the real one) and returns the previous one.
RemoveFileFunction ExchangeRemoveFileFunction(RemoveFileFunction fn);

// The operating system's own folders and the user's base folders, which no
// tree removal may touch: on POSIX "/", the system's top-level folders, the
// home folder and the XDG base folders; on Windows the Windows and system
// directories and the well-known profile and program folders. Values as the
// environment gives them; a value shorter than four characters is skipped.
std::vector<std::wstring> SystemFolders();

}  // namespace platform::dir_walk
