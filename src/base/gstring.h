// UTF-8 <-> wide text. Invalid input never throws; it becomes U+FFFD.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace base::gstring {

std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);

// Paths without std::filesystem's throwing locale conversion.
std::filesystem::path ToPath(std::wstring_view wide);
std::wstring FromPath(const std::filesystem::path& path);

}  // namespace base::gstring
