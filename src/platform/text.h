// UTF-8 <-> wide conversion that never throws. Invalid input becomes U+FFFD.
// std::filesystem's own wide conversion throws on bytes that are not UTF-8, so
// portable code converts paths through these helpers only.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform::text {

std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);

// Path <-> wide without the locale-dependent conversion of std::filesystem.
std::filesystem::path PathFromWide(std::wstring_view wide);
std::wstring WideFromPath(const std::filesystem::path& path);

// Case-insensitive comparison of wide text (simple case folding), as the
// OS compares file and registry names.
int CompareNoCase(std::wstring_view a, std::wstring_view b);
std::wstring ToLower(std::wstring_view text);

}  // namespace platform::text
