#include "boot/executable_version.h"

#include <cwchar>

#include "base/process.h"
#include "boot/crash_reporting.h"
#include "boot/product_version.h"
#include "platform/version_resource.h"

namespace boot {

std::array<std::uint32_t, 4> BuiltVersion() {
  return {QUARRION_VERSION_MAJOR, QUARRION_VERSION_MINOR, QUARRION_VERSION_PATCH,
          QUARRION_VERSION_BUILD};
}

// The FileVersion text of the program's version resource ("1.2.3.4"; the
// build writes it from the same numbers as BuiltVersion).
std::optional<std::array<std::uint32_t, 4>> ReadExecutableVersion() {
  const auto texts = platform::ReadVersionTexts(base::process::GetCurrentExeFullPath());
  if (!texts) return std::nullopt;
  std::array<std::uint32_t, 4> version{};
  const wchar_t* at = texts->file_version.c_str();
  for (std::size_t i = 0; i < version.size(); ++i) {
    wchar_t* end = nullptr;
    const unsigned long part = std::wcstoul(at, &end, 10);
    if (end == at || part > 0xFFFF) return std::nullopt;
    version[i] = static_cast<std::uint32_t>(part);
    at = end;
    if (i + 1 < version.size()) {
      if (*at != L'.') return std::nullopt;
      ++at;
    }
  }
  return version;
}

}  // namespace boot
