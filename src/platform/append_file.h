// A file only ever appended to, shared by threads and processes: every
// Append is one write of the whole text at the end of the file, so lines of
// several writers never interleave.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/result.h"
#include "platform/scoped_generic.h"

namespace platform {

class AppendFile {
 public:
  AppendFile() = default;

  // Opens `path` for appending, creating the file (not its directory). Never
  // through a link at the last component (681), nor into a FIFO, a socket or
  // a regular file that has other names (5).
  static Result<AppendFile> Open(const std::filesystem::path& path);
  bool is_open() const { return handle_.is_valid(); }
  // 6 when not open; a short write (a full disk) is an error, never success.
  Result<void> Append(std::string_view text);
  // Flushes to the disk and closes; 0 when nothing was open.
  Result<void> SyncAndClose();

 private:
  // A descriptor or a HANDLE: both fit, and both use -1 for "none".
  using Native = std::intptr_t;
  struct Traits {
    static Native InvalidValue() { return -1; }
    static void Free(Native handle);
  };
  ScopedGeneric<Native, Traits> handle_;
};

}  // namespace platform
