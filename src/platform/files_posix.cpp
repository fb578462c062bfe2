#include "platform/files.h"

#include <system_error>

#include "platform/registry.h"
#include "platform/text.h"

namespace platform::files {
namespace {
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";
}  // namespace

ErrorCode DeleteAtReboot(const std::filesystem::path& path) {
  if (path.empty()) return kErrorInvalidParameter;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return kErrorInvalidParameter;
  // The pair (source, empty target) is how Windows spells "delete"; the
  // source carries the NT object prefix.
  std::wstring source = L"\\??\\";
  source += text::WideFromPath(absolute.lexically_normal());
  return registry::AppendMultiString(registry::Root::kLocalMachine, kSessionManager,
                                     kPendingRenames, {source, std::wstring()});
}

}  // namespace platform::files
