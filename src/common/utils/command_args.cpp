#include "common/utils/command_args.h"

#include <fmt/format.h>

#include "base/gstring.h"
#include "platform/launch.h"

std::wstring FormatOptionArg(std::string_view name) {
  return base::gstring::FromUtf8(fmt::format("--{} ", name));
}

std::wstring FormatOptionArg(std::wstring_view name) {
  std::wstring out = L"--";
  out.append(name);
  out += L' ';
  return out;
}

std::wstring QuoteArg(std::wstring_view value) {
  std::wstring out = platform::QuoteCommandLineArgument(value, platform::Quoting::kAlways);
  out += L' ';
  return out;
}

std::wstring QuoteArg(std::string_view value) {
  // Escaping touches ASCII only, so quoting after the conversion is the same
  // as quoting the UTF-8 text and converting the result.
  return QuoteArg(std::wstring_view(base::gstring::FromUtf8(value)));
}

std::wstring BuildArgs(const std::map<std::string, std::string>& options) {
  std::wstring out;
  for (const auto& [name, value] : options) {
    out += FormatOptionArg(std::string_view(name));
    out += QuoteArg(std::string_view(value));
  }
  return out;
}

std::wstring BuildArgs(const std::map<std::wstring, std::wstring>& options) {
  std::wstring out;
  for (const auto& [name, value] : options) {
    out += FormatOptionArg(std::wstring_view(name));
    out += QuoteArg(std::wstring_view(value));
  }
  return out;
}
