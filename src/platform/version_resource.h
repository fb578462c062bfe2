// The version resource of a program file: the texts a file's properties
// show (description, file version, product name), in the language and code
// page its translation table names first.
#pragma once

#include <filesystem>
#include <string>

#include "platform/result.h"

namespace platform {

struct VersionTexts {
  std::wstring file_description;
  std::wstring file_version;  // e.g. L"1.2.3.4"
  std::wstring product_name;
};

// Windows: GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW
// ("\VarFileInfo\Translation", then the "\StringFileInfo\<lang><cp>\..."
// strings); a text the resource lacks stays empty. 1813 when the file has
// no version resource or no translation. POSIX: programs carry no such
// resource, 1813 always.
Result<VersionTexts> ReadVersionTexts(const std::filesystem::path& file);

}  // namespace platform
