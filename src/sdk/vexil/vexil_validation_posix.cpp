#include "sdk/vexil/vexil_validation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <string>

namespace vexil {

namespace {

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
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

  const std::string handler = WideToUtf8(info.handler_path);
  struct stat st {};
  if (handler.empty() || ::stat(handler.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::access(handler.c_str(), X_OK) != 0) {
    return kVexilHandlerMissing;
  }
  const std::string database = WideToUtf8(info.database_directory);
  if (database.empty() || ::stat(database.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      ::access(database.c_str(), W_OK | X_OK) != 0) {
    return kVexilDatabaseUnwritable;
  }
  return kVexilOk;
}

}  // namespace vexil
