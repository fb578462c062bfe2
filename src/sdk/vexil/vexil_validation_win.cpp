#include <windows.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "sdk/vexil/vexil_validation.h"

namespace vexil {

namespace {

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

void Append(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

// Wide text is UTF-16 here: a surrogate pair is one code point, a lone
// surrogate U+FFFD.
std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
        Append(out, c);
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    Append(out, c);
  }
  return out;
}

bool IsUuidText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash_position ? text[i] != '-' : !IsHex(text[i])) return false;
  }
  return true;
}

bool IsAppKeyText(std::string_view text) {
  if (text.size() != 10) return false;
  for (char c : text) {
    if (!IsHex(c)) return false;
  }
  return true;
}

int ValidateInitInfo(const VexilInitInfo& info) {
  if (info.kind != 128) return kVexilBadRecordKind;
  if (!IsUuidText(info.app_id)) return kVexilBadAppId;
  if (!IsAppKeyText(info.app_key)) return kVexilBadAppKey;
  // A program file: there, not a folder, and one Windows can start.
  DWORD binary_type = 0;
  const DWORD handler = info.handler_path.empty() ? INVALID_FILE_ATTRIBUTES
                                                  : ::GetFileAttributesW(info.handler_path.c_str());
  if (handler == INVALID_FILE_ATTRIBUTES || (handler & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      !::GetBinaryTypeW(info.handler_path.c_str(), &binary_type)) {
    return kVexilHandlerMissing;
  }
  const DWORD database = info.database_directory.empty()
                             ? INVALID_FILE_ATTRIBUTES
                             : ::GetFileAttributesW(info.database_directory.c_str());
  if (database == INVALID_FILE_ATTRIBUTES || (database & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (database & FILE_ATTRIBUTE_READONLY) != 0) {
    return kVexilDatabaseUnwritable;
  }
  return kVexilOk;
}

}  // namespace vexil
