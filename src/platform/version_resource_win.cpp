#include "platform/version_resource.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "platform/win_util_win.h"

namespace platform {

namespace {

std::wstring StringValue(std::vector<unsigned char>& block, const wchar_t* sub_block) {
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), sub_block, &value, &length) || value == nullptr ||
      length == 0) {
    return {};
  }
  // The length counts the terminator when there is one; never read past it.
  const auto* text = static_cast<const wchar_t*>(value);
  return std::wstring(text, wcsnlen(text, length));
}

}  // namespace

Result<VersionTexts> ReadVersionTexts(const std::filesystem::path& file) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return Fail(win::LastError());
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return Fail(win::LastError());

  struct Translation {
    WORD language;
    WORD code_page;
  };
  void* table = nullptr;
  UINT table_size = 0;
  if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &table, &table_size) ||
      table == nullptr || table_size < sizeof(Translation)) {
    return Fail(kErrorResourceTypeNotFound);
  }
  const Translation first = *static_cast<const Translation*>(table);
  const auto path = [&](const wchar_t* name) {
    wchar_t sub_block[64];
    std::swprintf(sub_block, 64, L"\\StringFileInfo\\%04x%04x\\%ls", first.language,
                  first.code_page, name);
    return StringValue(block, sub_block);
  };
  VersionTexts texts;
  texts.file_description = path(L"FileDescription");
  texts.file_version = path(L"FileVersion");
  texts.product_name = path(L"ProductName");
  return texts;
}

}  // namespace platform
