// Writing arguments by the Windows command-line rules: the one quoting that
// every caller uses, so what SplitCommandLine reads back is what was written.

#include <string>
#include <string_view>
#include <vector>

#include "platform/launch.h"

namespace platform {

namespace {

bool NeedsQuotes(std::wstring_view argument) {
  return argument.empty() || argument.find_first_of(L" \t\"") != std::wstring_view::npos;
}

}  // namespace

std::wstring QuoteCommandLineArgument(std::wstring_view argument, Quoting quoting) {
  if (quoting == Quoting::kWhenNeeded && !NeedsQuotes(argument)) {
    // Unquoted, backslashes are literal: no quote follows any of them.
    return std::wstring(argument);
  }
  std::wstring out;
  out.reserve(argument.size() + 2);
  out += L'"';
  // A run of backslashes is literal unless a quote follows it; only then is
  // each one doubled, and the quote itself escaped.
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');  // they precede the closing quote
  out += L'"';
  return out;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments, Quoting quoting) {
  std::wstring out;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i != 0) out += L' ';
    out += QuoteCommandLineArgument(arguments[i], quoting);
  }
  return out;
}

}  // namespace platform
