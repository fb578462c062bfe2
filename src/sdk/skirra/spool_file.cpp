#include "sdk/skirra/spool_file.h"

#include <system_error>

#include "platform/process.h"

namespace skirra {

long long CurrentProcessId() { return static_cast<long long>(platform::CurrentProcessId()); }

SpoolFile::~SpoolFile() { SyncAndClose(); }

bool SpoolFile::Open(const std::filesystem::path& path) {
  SyncAndClose();
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  auto opened = platform::AppendFile::Open(path);
  if (!opened) return false;
  file_ = std::move(opened).value();
  return true;
}

bool SpoolFile::IsOpen() const { return file_.is_open(); }

bool SpoolFile::Append(std::string_view line) { return file_.Append(line).ok(); }

void SpoolFile::SyncAndClose() { (void)file_.SyncAndClose(); }

}  // namespace skirra
