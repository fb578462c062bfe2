// File facilities that differ per OS.
#pragma once

#include <filesystem>

#include "platform/error.h"

namespace platform::files {

// Records `path` for deletion at the next reboot the way Windows does: an
// entry appended to the PendingFileRenameOperations value of
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager in the (emulated)
// registry. Returns 0 or the error.
ErrorCode DeleteAtReboot(const std::filesystem::path& path);

}  // namespace platform::files
