// Which processes hold a file: asked when a file cannot be removed, so that
// the log names the program in the way. POSIX: every process's descriptors
// (/proc/<pid>/fd) and mappings (/proc/<pid>/maps); Windows: the Restart
// Manager, which knows handles and loaded modules.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/result.h"

namespace platform::file_holders {

struct Holder {
  Pid pid = 0;
  // The file name of the process's image, as EnumerateProcesses names it;
  // what the system calls the program when the image cannot be read.
  std::wstring image;

  friend bool operator==(const Holder&, const Holder&) = default;
};

struct HolderSearch {
  // In pid order, each process once.
  std::vector<Holder> holders;
  // The deadline came before every process was looked at: `holders` is what
  // was found until then.
  bool gave_up = false;
};

// The processes that have `file` open or mapped, looked for until `deadline`
// (a TickCount64 value; one already past gives up before the first process).
// A process that may not be examined (another user's, without the rights)
// is passed over. Errors: the process list or the system's holder query
// could not be had at all.
Result<HolderSearch> FindFileHolders(const std::filesystem::path& file, std::uint64_t deadline);

}  // namespace platform::file_holders
