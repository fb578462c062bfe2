// The Windows side of the holder search, for its own tests: how the Restart
// Manager's answer becomes holders. Windows-only; never included by a shared
// header.
#pragma once

#include <windows.h>

#include <restartmanager.h>

#include <functional>
#include <span>
#include <string>

#include "platform/file_holders.h"

namespace platform::file_holders::win {

// RmGetList's answer: `status` as it returned, `listed` the entries it
// filled. Success with no entry is no holder (Wine's manager answers that
// for every file). A process is named by `image_of` (from a snapshot of the
// processes); one gone from the snapshot by the name the manager gives it.
Result<HolderSearch> HoldersFromAnswer(DWORD status, std::span<const RM_PROCESS_INFO> listed,
                                       const std::function<std::wstring(Pid)>& image_of);

}  // namespace platform::file_holders::win
