// Descriptor-relative directory operations for removing trees safely.
//
// A walk that resolves paths again at every step can be redirected: swap a
// subfolder for a symbolic link between the listing and the removal, and a
// path-based removal deletes whatever the link points at. Every operation here
// works relative to an open directory handle, never follows a symbolic link in
// the last component, and opens children with O_NOFOLLOW | O_DIRECTORY, so
// once a walk holds a directory it can only ever act on entries below it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform::dir_walk {

enum class EntryType {
  kUnknown,
  kFile,        // regular file or anything else that is not a directory or link
  kDirectory,   // a real directory on the same device as its parent
  kSymlink,     // a symbolic link (never followed)
  kMountPoint,  // a directory on another device than its parent (never entered)
};

struct EntryInfo {
  EntryType type = EntryType::kUnknown;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

struct Entry {
  std::filesystem::path name;  // a single component
  EntryType type = EntryType::kUnknown;
};

// Owner of one open directory. Move-only; closes on destruction.
class DirHandle {
 public:
  DirHandle() = default;
  ~DirHandle();
  DirHandle(DirHandle&& other) noexcept;
  DirHandle& operator=(DirHandle&& other) noexcept;
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;

  // Opens `path` as a directory. The intermediate components are resolved as
  // usual (they are the caller's trusted prefix); the last one must be a real
  // directory, not a link to one.
  static DirHandle Open(const std::filesystem::path& path, ErrorCode* error = nullptr);

  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Opens the child directory `name`. Fails (instead of following) when the
  // entry is a link; when `expected` is given, also fails with
  // kErrorAccessDenied unless the opened directory is that very device/inode
  // (so an entry swapped after it was examined is not entered).
  DirHandle OpenChild(const std::filesystem::path& name, ErrorCode* error = nullptr,
                      const EntryInfo* expected = nullptr) const;

  // Lists the entries (without "." and ".."), calling `visit` until it returns
  // false. An error while reading ends the listing and is returned; the
  // entries seen so far have been visited.
  ErrorCode List(const std::function<bool(const Entry&)>& visit) const;

  // Examines `name` without following it. 2 when it does not exist.
  ErrorCode Stat(const std::filesystem::path& name, EntryInfo* info) const;
  bool Exists(const std::filesystem::path& name) const;

  // Removes the file or link `name` (never what a link points at).
  ErrorCode RemoveFile(const std::filesystem::path& name) const;
  // Removes the empty directory `name`; fails on a link.
  ErrorCode RemoveDirectory(const std::filesystem::path& name) const;
  // Renames within this directory, replacing an existing `to`.
  ErrorCode Rename(const std::filesystem::path& from, const std::filesystem::path& to) const;

  // Device of the directory itself (0 when it cannot be read).
  std::uint64_t Device() const;

 private:
  explicit DirHandle(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The remove step for files and links, replaceable so tests can make a file
// impossible to delete the way a file held open by a process is on Windows.
// `dir` is the raw directory descriptor of the POSIX backend.
using RemoveFileFunction = ErrorCode (*)(int dir, const char* name);
ErrorCode RealRemoveFile(int dir, const char* name);
// Installs `fn` (null restores the real one) and returns the previous one.
RemoveFileFunction ExchangeRemoveFileFunction(RemoveFileFunction fn);

// The operating system's own folders and the user's base folders, which no
// tree removal may touch: on POSIX "/", the system's top-level folders, the
// home folder and the XDG base folders; on Windows the Windows and system
// directories and the well-known profile and program folders. Values as the
// environment gives them; a value shorter than four characters is skipped.
std::vector<std::wstring> SystemFolders();

}  // namespace platform::dir_walk
