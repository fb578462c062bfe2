#include "base/gstring.h"

#include "platform/text.h"

namespace base::gstring {

std::string ToUtf8(std::wstring_view wide) { return platform::text::ToUtf8(wide); }
std::wstring FromUtf8(std::string_view utf8) { return platform::text::FromUtf8(utf8); }
std::filesystem::path ToPath(std::wstring_view wide) { return platform::text::PathFromWide(wide); }
std::wstring FromPath(const std::filesystem::path& path) { return platform::text::WideFromPath(path); }

}  // namespace base::gstring
