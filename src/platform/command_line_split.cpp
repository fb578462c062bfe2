// The Windows command-line rules, shared by every backend: what a caller
// quotes for a Windows child must reach a child here unchanged.

#include <string>
#include <string_view>
#include <vector>

#include "platform/launch.h"

namespace platform {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view text, bool first_is_program) {
  std::vector<std::wstring> args;
  std::size_t i = 0;
  const std::size_t n = text.size();

  if (first_is_program) {
    if (n == 0) return args;
    // The program name: a quoted one ends at the next quote whatever
    // precedes it, an unquoted one at the next blank; no backslash rules.
    std::wstring program;
    if (text[0] == L'"') {
      i = 1;
      while (i < n && text[i] != L'"') program.push_back(text[i++]);
      if (i < n) ++i;  // the closing quote
    } else {
      while (i < n && !IsBlank(text[i])) program.push_back(text[i++]);
    }
    args.push_back(std::move(program));
  }

  while (i < n && IsBlank(text[i])) ++i;
  if (i >= n) return args;

  std::wstring current;
  int quotes = 0;            // 0 outside a group; counts a run of quotes inside
  std::size_t backslashes = 0;
  while (i < n) {
    const wchar_t c = text[i];
    if (IsBlank(c) && quotes == 0) {
      args.push_back(std::move(current));
      current.clear();
      backslashes = 0;
      while (i < n && IsBlank(text[i])) ++i;
      if (i >= n) return args;  // trailing blanks start no argument
    } else if (c == L'\\') {
      current.push_back(c);
      ++backslashes;
      ++i;
    } else if (c == L'"') {
      if (backslashes % 2 == 0) {
        // 2n backslashes: n of them stay and the quote toggles grouping.
        current.resize(current.size() - backslashes / 2);
        ++quotes;
      } else {
        // 2n+1: n backslashes and a literal quote.
        current.resize(current.size() - backslashes / 2 - 1);
        current.push_back(L'"');
      }
      backslashes = 0;
      ++i;
      // A run of quotes: every third (the opening one counted) is literal,
      // and a pair closes the group, exactly as CommandLineToArgvW counts.
      while (i < n && text[i] == L'"') {
        if (++quotes == 3) {
          current.push_back(L'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
    } else {
      current.push_back(c);
      backslashes = 0;
      ++i;
    }
  }
  args.push_back(std::move(current));
  return args;
}

}  // namespace platform
