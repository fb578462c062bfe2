// File facilities that differ per OS.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/error.h"
#include "platform/result.h"

namespace platform::files {

// Records `path` for deletion at the next reboot the way Windows does: an
// entry appended to the PendingFileRenameOperations value of
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager in the (emulated)
// registry. Returns 0 or the error.
ErrorCode DeleteAtReboot(const std::filesystem::path& path);

// Makes `contents` the whole content of the file `file_name` (one name, no
// folder part) in `directory`, for folders that other users may write: the
// text goes into a new file beside the target, every write, the flush and the
// sync are checked, and only a complete file is renamed over the name through
// the held folder handle. Whatever stands at the name (a symbolic link, a
// reparse point, another name of a hard link) is replaced as a directory
// entry, never written through: a link's target and the other names of a
// hard link keep their bytes. A directory (or, on POSIX, a FIFO, socket or
// device) at the name is refused with 5 and never opened.
//
// On any failure before the rename the old file stays byte-identical and
// nothing is left beside it. The one failure after it, the folder's own sync,
// is still reported, with the new file already whole at the name.
// The folder must exist (3 when it does not); a bad name is 87, a full disk
// 112.
Result<void> ReplaceWholeFile(const std::filesystem::path& directory,
                         const std::filesystem::path& file_name, std::string_view contents);

// While one is alive on a thread, ReplaceWholeFile on that thread leaves the
// folder's own sync (the one that makes the rename durable) to the batch,
// which holds each folder open from its first rename and syncs it once when
// it ends. For many files written into one
// folder in a row: each file is still synced before its rename, so a power
// cut meanwhile leaves at every name either the old file or the new one,
// whole. A folder whose sync fails is noted (diagnostics::Note). Batches
// nest; the outermost one syncs. On Windows a rename is made durable by the
// system itself and the batch has nothing to do.
class DirectorySyncBatch {
 public:
  DirectorySyncBatch();
  ~DirectorySyncBatch();
  DirectorySyncBatch(const DirectorySyncBatch&) = delete;
  DirectorySyncBatch& operator=(const DirectorySyncBatch&) = delete;

 private:
  bool outermost_;
};

// `path` made absolute with the links on its way resolved, as opening it
// would resolve them (symbolic links, junctions, mount points): the longest
// part that exists is taken as the file system names it, the rest is kept as
// written, lexically normalised. What a running program's image path is
// compared with, since the system gives those resolved.
Result<std::filesystem::path> ResolveLinks(const std::filesystem::path& path);

}  // namespace platform::files
