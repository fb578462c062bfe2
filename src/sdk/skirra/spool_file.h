// Append-only spool file of the analytics SDK stand-in. One Append is one
// write of the whole line to a file opened for appending, so lines of several
// threads or processes sharing the spool never interleave.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/append_file.h"

namespace skirra {

// Written into each line: several processes may share one spool.
long long CurrentProcessId();

class SpoolFile {
 public:
  SpoolFile() = default;
  ~SpoolFile();
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  // Creates missing directories. False when the file cannot be opened.
  bool Open(const std::filesystem::path& path);
  bool IsOpen() const;
  bool Append(std::string_view line);
  // Flushes to the disk and closes; harmless when not open.
  void SyncAndClose();

 private:
  platform::AppendFile file_;
};

}  // namespace skirra
